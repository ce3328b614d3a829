// Where PORT.KAV and the files beside it are read and written: the program's folder
// (the current directory while none is set), or the user's application-data folder
// (pointed at a directory of the test's own) when that folder refuses the file or the
// file lives there already; a file older versions left in the current directory is
// read, and copied to where it belongs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/app_data.h"
#include "store/preset_location.h"
#include "store/preset_table.h"

namespace {

namespace fs = std::filesystem;

enum class Place { None, Here, AppData };

const char* PlaceName(Place p) { return p == Place::Here ? "current directory" : p == Place::AppData ? "app data" : "none"; }

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ReadVia(const char* name, bool* opened) {
    char buffer[64] = {};
    size_t got = 99;
    *opened = ReadPresetFile(name, buffer, sizeof buffer, &got);
    return std::string(buffer, got);
}

// A working directory and a roaming folder of their own: the test runs in work, and
// the application-data look-up answers roaming.
class PresetLocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        base = fs::temp_directory_path() / ("kavo_location_" + std::to_string(stamp));
        oldDir = fs::current_path();
        UseDirs("first");
    }

    void TearDown() override {
        fs::current_path(oldDir);
        platform::ClearTestAppDataFolder();
        SetPresetProgramFolder(platform::NativePath());
        std::error_code ec;
        fs::remove_all(base, ec);
    }

    // Fresh directories under base/sub; roaming named as given (it need not exist).
    void UseDirs(const std::string& sub, const fs::path& roamingName = "Roaming") {
        work = base / sub / "work";
        roaming = base / sub / roamingName;
        fs::create_directories(work);
        fs::create_directories(roaming);
        fs::current_path(work);
        platform::SetTestAppDataFolder(roaming.native());
    }

    fs::path AppDir() const { return roaming / "Ombrix" / "Kavo2"; }
    fs::path AppFile() const { return AppDir() / "PORT.KAV"; }
    fs::path HereFile() const { return work / "PORT.KAV"; }

    // The current directory refuses the file: its temporary name is taken by a
    // directory, so no new file can be made there. (Permission bits would not stop
    // the tests when they run as root.)
    void Refuse() const { fs::create_directory(work / "PORT.KAV.tmp"); }
    void Accept() const { fs::remove(work / "PORT.KAV.tmp"); }

    fs::path base, oldDir, work, roaming;
};

TEST_F(PresetLocationTest, ReadAndWritePlacesByWritabilityAndPresence) {
    const struct {
        const char* what;
        bool refuses;    // the current directory cannot take the file
        bool inAppData;  // a file is in the application-data folder already
        bool here;       // a file is in the current directory
        Place readFrom;
        Place writtenTo;
    } cases[] = {
        {"writable, file here", false, false, true, Place::Here, Place::Here},
        {"writable, no file yet", false, false, false, Place::None, Place::Here},
        {"writable, in app data and here", false, true, true, Place::AppData, Place::AppData},
        {"writable, only in app data", false, true, false, Place::AppData, Place::AppData},
        {"refuses, file shipped here", true, false, true, Place::Here, Place::AppData},
        {"refuses, no file yet", true, false, false, Place::None, Place::AppData},
        {"refuses, in app data and here", true, true, true, Place::AppData, Place::AppData},
        {"refuses, only in app data", true, true, false, Place::AppData, Place::AppData},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UseDirs("case" + std::to_string(++n));
        if (c.here) WriteAll(HereFile(), "here-old");
        if (c.inAppData) {
            fs::create_directories(AppDir());
            WriteAll(AppFile(), "app-old");
        }
        if (c.refuses) Refuse();

        bool opened = false;
        const std::string read = ReadVia("PORT.KAV", &opened);
        EXPECT_EQ(opened, c.readFrom != Place::None) << PlaceName(c.readFrom);
        EXPECT_EQ(read, c.readFrom == Place::Here ? "here-old" : c.readFrom == Place::AppData ? "app-old" : "");

        EXPECT_TRUE(WritePresetFile("PORT.KAV", "the new one", 11));
        const bool toAppData = c.writtenTo == Place::AppData;
        EXPECT_EQ(ReadAll(toAppData ? AppFile() : HereFile()), "the new one") << PlaceName(c.writtenTo);
        // The other place is as it was.
        if (toAppData)
            EXPECT_EQ(ReadAll(HereFile()), c.here ? "here-old" : "");
        else
            EXPECT_FALSE(fs::exists(AppDir())) << "nothing made in app data";
        EXPECT_EQ(fs::exists(HereFile()), c.here || !toAppData);
        EXPECT_FALSE(fs::exists(AppDir() / "PORT.KAV.tmp"));
        EXPECT_EQ(fs::is_directory(work / "PORT.KAV.tmp"), c.refuses) << "only what the test put there";

        EXPECT_EQ(ReadVia("PORT.KAV", &opened), "the new one") << "the next read sees the write";
        EXPECT_TRUE(opened);
    }
}

TEST_F(PresetLocationTest, OnceInAppDataLaterWritesStayThereWhenTheDirectoryTakesThemAgain) {
    WriteAll(HereFile(), "shipped");
    Refuse();
    ASSERT_TRUE(WritePresetFile("PORT.KAV", "first", 5));
    ASSERT_EQ(ReadAll(AppFile()), "first");

    Accept();
    EXPECT_TRUE(WritePresetFile("PORT.KAV", "second", 6));
    EXPECT_EQ(ReadAll(AppFile()), "second");
    EXPECT_EQ(ReadAll(HereFile()), "shipped") << "the copy left here is never written again";
    bool opened = false;
    EXPECT_EQ(ReadVia("PORT.KAV", &opened), "second");

    // Each file by its own presence: another name still starts in the current directory.
    EXPECT_TRUE(WritePresetFile("OTHER.KAV", "x", 1));
    EXPECT_EQ(ReadAll(work / "OTHER.KAV"), "x");
    EXPECT_FALSE(fs::exists(AppDir() / "OTHER.KAV"));
}

TEST_F(PresetLocationTest, WithoutAUsableAppDataFolderOnlyTheCurrentDirectoryServes) {
    const struct {
        const char* what;
        bool noFolder;  // the look-up finds none; else the roaming folder is missing
        bool refuses;
        bool written;
    } cases[] = {
        {"no folder, writable", true, false, true},
        {"no folder, refuses", true, true, false},
        {"roaming folder missing, writable", false, false, true},
        {"roaming folder missing, refuses", false, true, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UseDirs("case" + std::to_string(++n));
        fs::remove(roaming);
        if (c.noFolder) platform::SetTestAppDataFolder(platform::NativePath());
        WriteAll(HereFile(), "here-old");
        if (c.refuses) Refuse();

        bool opened = false;
        EXPECT_EQ(ReadVia("PORT.KAV", &opened), "here-old");
        EXPECT_EQ(WritePresetFile("PORT.KAV", "new", 3), c.written);
        EXPECT_EQ(ReadAll(HereFile()), c.written ? "new" : "here-old");
        EXPECT_FALSE(fs::exists(roaming)) << "no folder made in place of the system's";
    }
}

TEST_F(PresetLocationTest, PresetTableGoesToAppDataByteForByteAndComesBack) {
    // A profile folder named with characters that no code page holds: every call on
    // the way must take the system's wide path.
    UseDirs("wide", fs::u8path(u8"Roaming \u00e9\u2603"));
    WriteAll(HereFile(), std::string(1120, '\0'));
    Refuse();

    PresetTable t;
    const RouteSettings ports[2] = {{1, 0, 1, 0}, {0, NO_DEVICE, NO_DEVICE, 0}};
    ASSERT_EQ(StorePreset(t, "Saved", ports).outcome, StoreOutcome::Added);
    EXPECT_TRUE(SavePresets(t));
    const std::string file = ReadAll(AppFile());
    ASSERT_EQ(file.size(), 1120u);
    EXPECT_EQ(std::memcmp(file.data(), &t, sizeof t), 0) << "the file is the table in memory";
    EXPECT_EQ(file.compare(0, 9, std::string("KAVO2.00\0", 9)), 0);
    EXPECT_EQ(ReadAll(HereFile()), std::string(1120, '\0'));

    PresetTable back;
    LoadPresets(back);
    EXPECT_EQ(back.count, 1);
    EXPECT_EQ(FindPreset(back, "saved"), 0);
    EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0);
}

TEST_F(PresetLocationTest, FailedSaveLeavesTheTableAsItWas) {
    platform::SetTestAppDataFolder(platform::NativePath());
    Refuse();
    PresetTable t;
    const RouteSettings ports[2] = {{1, 0, 1, 0}, {1, 1, 0, 0}};
    StorePreset(t, "Kept", ports);
    const PresetTable before = t;
    EXPECT_FALSE(SavePresets(t));
    EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0) << "no magic put in a table that was not written";
    EXPECT_FALSE(fs::exists(HereFile()));
}

// A program started in one directory (work, where an older version left its file)
// and then in another (the system folder of a start at logon): the program's own folder
// comes first, the application-data folder takes what that folder refuses, and the
// next start from anywhere reads what the last one wrote.
TEST_F(PresetLocationTest, ProgramFolderFirstWhateverTheCurrentDirectory) {
    enum Where { Nowhere, Program, AppData, Work };
    const char* const names[] = {"nowhere", "program folder", "app data", "work directory"};
    const struct {
        const char* what;
        bool inProgram, inAppData, inWork;  // files there before the first start
        bool programRefuses, noAppData;
        Where readFrom;    // the first start, in work
        Where adoptedTo;   // where the work directory's file is copied then
        Where writtenTo;   // where its Apply goes
    } cases[] = {
        {"older version's file in work only", false, false, true, false, false, Work, Program, Program},
        {"older version's file, program folder refuses", false, false, true, true, false, Work, AppData, AppData},
        {"older version's file, nowhere takes it", false, false, true, true, true, Work, Nowhere, Work},
        {"in the program folder and in work", true, false, true, false, false, Program, Nowhere, Program},
        {"in app data, program folder and work", true, true, true, false, false, AppData, Nowhere, AppData},
        {"no file yet", false, false, false, false, false, Nowhere, Nowhere, Program},
        {"no file yet, program folder refuses", false, false, false, true, false, Nowhere, Nowhere, AppData},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UseDirs("program" + std::to_string(++n));
        const fs::path program = base / ("program" + std::to_string(n)) / "Kavo2";
        const fs::path system = base / ("program" + std::to_string(n)) / "system32";
        fs::create_directories(program);
        fs::create_directories(system);
        SetPresetProgramFolder(program.native());
        if (c.noAppData) platform::SetTestAppDataFolder(platform::NativePath());
        const auto file = [&](Where w) {
            return w == Program ? program / "PORT.KAV" : w == AppData ? AppFile() : work / "PORT.KAV";
        };
        // The work directory's file is longer than a table: it is copied whole.
        const std::string workBytes = "work-old" + std::string(1200, '\x7f');
        if (c.inProgram) WriteAll(file(Program), "program-old");
        if (c.inAppData) {
            fs::create_directories(AppDir());
            WriteAll(AppFile(), "app-old");
        }
        if (c.inWork) WriteAll(file(Work), workBytes);
        if (c.programRefuses) fs::create_directory(program / "PORT.KAV.tmp");
        const std::string before[] = {"", ReadAll(file(Program)), ReadAll(file(AppData)), workBytes};

        bool opened = false;
        const std::string read = ReadVia("PORT.KAV", &opened);
        EXPECT_EQ(opened, c.readFrom != Nowhere) << names[c.readFrom];
        EXPECT_EQ(read, before[c.readFrom].substr(0, 64)) << names[c.readFrom];
        for (Where w : {Program, AppData}) {
            EXPECT_EQ(ReadAll(file(w)), w == c.adoptedTo ? workBytes : before[w]) << names[w];
        }
        EXPECT_EQ(ReadAll(file(Work)), c.inWork ? workBytes : "") << "the work directory's file is never touched";

        EXPECT_TRUE(WritePresetFile("PORT.KAV", "applied", 7));
        EXPECT_EQ(ReadAll(file(c.writtenTo)), "applied") << names[c.writtenTo];
        if (c.writtenTo != Work) {
            EXPECT_EQ(ReadAll(file(Work)), c.inWork ? workBytes : "");
        }

        // The next start, at logon: the system folder is the current directory.
        fs::current_path(system);
        const bool fromWork = c.writtenTo == Work;
        EXPECT_EQ(ReadVia("PORT.KAV", &opened), fromWork ? "" : "applied") << "found from the system folder";
        EXPECT_EQ(opened, !fromWork);
        EXPECT_FALSE(fs::exists(system / "PORT.KAV")) << "nothing written where it was started";
        EXPECT_FALSE(fs::exists(AppDir() / "PORT.KAV.tmp"));
        EXPECT_FALSE(fs::exists(work / "PORT.KAV.tmp"));
        EXPECT_EQ(fs::exists(program / "PORT.KAV.tmp"), c.programRefuses) << "only what the test put there";
    }
}

}  // namespace
