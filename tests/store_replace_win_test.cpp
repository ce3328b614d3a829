// A replace that another program blocks for a moment (a virus scanner, the search
// indexer, a cloud-sync client holding the new file or PORT.KAV open) is tried again:
// a hold released within the retry window lets the save land, a longer one leaves
// the old file intact. Windows only: the hold is a handle opened without sharing.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <system_error>
#include <thread>

#include "platform/file_replace.h"
#include "store/preset_table.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Opens path with no sharing at all, as a scanner may; closed by Release or at the end.
class Hold {
public:
    explicit Hold(const fs::path& path)
        : h_(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Hold() { Release(); }
    bool Held() const { return h_ != INVALID_HANDLE_VALUE; }
    void Release() {
        if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_;
};

bool WaitFor(const fs::path& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ReplaceRetryTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = fs::temp_directory_path() / ("kavo_replace_" + std::to_string(stamp));
        fs::create_directories(dir);
        file = dir / "PORT.KAV";
        const RouteSettings ports[2] = {{1, 0, 1, 0}, {0, NO_DEVICE, NO_DEVICE, 0}};
        StorePreset(oldTable, "Old", ports);
        ASSERT_TRUE(SavePresets(oldTable, file.string().c_str()));
        oldBytes = ReadAll(file);
        ASSERT_EQ(oldBytes.size(), 1120u);
        StorePreset(newTable, "New", ports);
    }

    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::future<bool> SaveOnAnotherThread() {
        const std::string path = file.string();
        return std::async(std::launch::async, [this, path] { return SavePresets(newTable, path.c_str()); });
    }

    fs::path dir, file;
    PresetTable oldTable, newTable;
    std::string oldBytes;
};

TEST_F(ReplaceRetryTest, TargetHeldForAMomentTheSaveLands) {
    Hold hold(file);
    ASSERT_TRUE(hold.Held());
    std::future<bool> saved = SaveOnAnotherThread();
    // The temporary file is written while PORT.KAV is held; the replace is refused
    // until the hold ends, well inside the window.
    ASSERT_TRUE(WaitFor(file.string() + ".tmp", std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ReadAll(dir / "PORT.KAV.tmp").size(), 1120u) << "still waiting to replace";
    hold.Release();
    ASSERT_EQ(saved.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(saved.get());
    const std::string now = ReadAll(file);
    ASSERT_EQ(now.size(), 1120u);
    EXPECT_EQ(std::memcmp(now.data(), &newTable, sizeof newTable), 0);
    EXPECT_FALSE(fs::exists(dir / "PORT.KAV.tmp"));
}

TEST_F(ReplaceRetryTest, TargetHeldPastTheWindowTheOldFileStays) {
    Hold hold(file);
    ASSERT_TRUE(hold.Held());
    std::future<bool> saved = SaveOnAnotherThread();
    // Held until the save has given up: it must give up on its own, not wait forever.
    const std::future_status status = saved.wait_for(std::chrono::seconds(20));
    hold.Release();
    ASSERT_EQ(status, std::future_status::ready) << "the save waits past any sensible window";
    EXPECT_FALSE(saved.get());
    EXPECT_EQ(ReadAll(file), oldBytes);
    EXPECT_FALSE(fs::exists(dir / "PORT.KAV.tmp")) << "the temporary file is removed";
    EXPECT_EQ(newTable.magic[0], '\0') << "the table is unchanged by a save that failed";
}

// The new file itself held (a scanner reading what was just written): a sharing
// violation, tried again like the held target.
TEST_F(ReplaceRetryTest, SourceHeldForAMomentOrPastTheWindow) {
    for (const bool released : {true, false}) {
        SCOPED_TRACE(released ? "released" : "held on");
        const fs::path from = dir / "NEW.TMP";
        std::ofstream(from, std::ios::binary) << "new bytes";
        Hold hold(from);
        ASSERT_TRUE(hold.Held());
        const auto started = std::chrono::steady_clock::now();
        std::future<bool> replaced = std::async(std::launch::async, [&] { return ReplaceFileWith(from.native(), file.native()); });
        if (released) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            hold.Release();
        }
        const std::future_status status = replaced.wait_for(std::chrono::seconds(20));
        hold.Release();
        ASSERT_EQ(status, std::future_status::ready);
        const bool ok = replaced.get();
        EXPECT_EQ(ok, released);
        if (released) {
            EXPECT_EQ(ReadAll(file), "new bytes");
            EXPECT_FALSE(fs::exists(from));
        } else {
            EXPECT_EQ(ReadAll(file), oldBytes);
            EXPECT_EQ(ReadAll(from), "new bytes") << "both files as they were";
            // Gave up only after trying for the window, never sooner; later is the
            // machine's scheduling.
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kReplaceRetryMillis - 20));
        }
        fs::remove(from);
        std::ofstream(file, std::ios::binary) << oldBytes;
    }
}

}  // namespace
#endif  // _WIN32
