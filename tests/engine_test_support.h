#pragma once
// A fixture that runs the engine on virtual devices: two keyboards, two synths, the
// message boxes recorded, the status updates counted.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "settings/settings_model.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/virtual/virtual_midi.h"

// A SysEx message of n bytes whose data bytes follow a pattern of its seed.
inline std::vector<uint8_t> PatternedSysEx(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 5 + seed) & 0x7F);
    v.front() = 0xF0;
    v.back() = 0xF7;
    return v;
}

struct ShownBox {
    std::string text;
    unsigned type;
};

class EngineFixture : public ::testing::Test {
protected:
    // The drivers the devices behave as.
    virtual midi::DriverModel Model() const { return midi::DriverModel::Ideal; }

    static constexpr auto kWait = std::chrono::milliseconds(5000);

    EngineFixture() : dev(midi::VirtualMidi::Config{{"Key A", "Key B"}, {"Synth A", "Synth B"}}) {}
    explicit EngineFixture(midi::VirtualMidi::Config devices) : dev(std::move(devices)) {}

    void SetUp() override {
        dev.SetModel(Model());
        midi::SetBackend(&dev);
        SeedEngine(settings);
        waitTimeout = 1;
        statusCalls = 0;
        platform::SetMessageBoxHandler(&EngineFixture::RecordBox, this);
        SetStatusListener(&EngineFixture::CountStatus);
    }

    void TearDown() override {
        if (engineRunning == 1 || routeIn[0] || routeIn[1] || routeOut[0] || routeOut[1]) StopRoutes();
        metronomeOn = 0;
        beatIndex = 0;
        lastTickTime = 0;
        for (int r = 0; r < 2; ++r) {
            ClearRingForTest(r);
            ringDrops[r] = 0;
        }
        platform::ClearTestClock();
        platform::SetMessageBoxHandler(nullptr, nullptr);
        SetStatusListener(nullptr);
        KavoSettings defaults;
        SeedEngine(defaults);
        BindEngineSettings(nullptr);
    }

    static void ClearRingForTest(int r) {
        ringWrite[r].store(0);
        ringRead[r].store(0);
    }

    // Stores and activates route r's assignment.
    void Assign(int r, int32_t in, int32_t out, int32_t enabled = 1) {
        settings.routeSettings[r] = RouteSettings{enabled, in, out, 0};
        settings.routeNames[r] = RouteDeviceNames{};  // learnt again at the next start
        settings.CopyStoredToActive();
    }

    // True once done() holds; false when it still does not after `limit`.
    template <class F>
    static bool WaitFor(F done, std::chrono::milliseconds limit = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    }

    // The worker queues its SysEx buffers once it runs; until then a device drops
    // SysEx input, as winmm does.
    void WaitForSysExBuffers(uint32_t in, size_t count = kSysExBuffers) const {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (dev.InQueuedCount(in) < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GE(dev.InQueuedCount(in), count);
    }

    std::vector<uint32_t> ShortMessages(uint32_t out) const {
        std::vector<uint32_t> v;
        for (const auto& e : dev.OutRecord(out))
            if (!e.isLong) v.push_back(e.shortMsg);
        return v;
    }

    std::vector<std::vector<uint8_t>> LongMessages(uint32_t out) const {
        std::vector<std::vector<uint8_t>> v;
        for (const auto& e : dev.OutRecord(out))
            if (e.isLong) v.push_back(e.bytes);
        return v;
    }

    static std::vector<uint32_t> AllSoundOffMessages() {
        std::vector<uint32_t> v;
        for (uint32_t c = 0; c < 16; ++c) v.push_back(0x78B0 + c);
        return v;
    }

    static int RecordBox(const char* text, unsigned type, void* ctx) {
        auto* self = static_cast<EngineFixture*>(ctx);
        self->boxes.push_back({text, type});
        if (self->onBox) self->onBox();
        return platform::kIdOk;
    }
    static void CountStatus() { ++statusCalls; }

    midi::VirtualMidi dev;
    KavoSettings settings;
    std::vector<ShownBox> boxes;
    std::function<void()> onBox;
    static inline int statusCalls = 0;
};

// The engine's own tests run on both driver models: a behaviour only the idealised
// devices have (outputs that take several clients, long messages done inside the
// call, no empty buffers) is not one the program may rely on.
class EngineOnModels : public EngineFixture, public ::testing::WithParamInterface<midi::DriverModel> {
protected:
    midi::DriverModel Model() const override { return GetParam(); }
};

inline std::string ModelName(const ::testing::TestParamInfo<midi::DriverModel>& info) {
    return info.param == midi::DriverModel::Ideal ? "Ideal" : info.param == midi::DriverModel::Classic ? "Classic" : "ClassicSync";
}

#define KAVO_ON_BOTH_MODELS(Suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(DriverModels, Suite,                                                                    \
                             ::testing::Values(midi::DriverModel::Ideal, midi::DriverModel::Classic), ModelName)
