// The native file system and NewFile on real files, as every system must
// behave, and each of their steps failed through the Env. What only one kind of system
// has (permission bits and symbolic links, the read-only attribute) is
// tested in NativeFileSystemPosixTest.cpp and NativeFileSystemWindowsTest.cpp.

#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/NewFile.h"
#include "FileHandling/testing/FaultEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using testing::FaultEnv;
using Kind = FaultEnv::Kind;
using testing::TempFolder;

class NativeFileSystem : public ::testing::Test {
protected:
    // The names in `folder` that a replace may have left there.
    static int leftovers(const fs::path& folder) {
        int found = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            found += entry.path().filename().string().starts_with(".zvreplace-");
        }
        return found;
    }

    TempFolder dir;
    std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();
    ScopedLogSink installed{log};
};

// A file is read-only when the system refuses to let this process write it
// (permission bits, an ACL, a read-only mount), and for no other failure.
TEST_F(NativeFileSystem, ReadOnlyIsARefusalToWrite) {
    const std::string file = dir.write("a.zvd", "x");
    for (const auto& [refusal, readOnly] : {std::pair{std::errc::read_only_file_system, true},
                                            {std::errc::permission_denied, true},
                                            {std::errc::operation_not_permitted, true},
                                            {std::errc::io_error, false}}) {
        const std::error_code error = std::make_error_code(refusal);
        const ScopedEnv refusing(std::make_shared<FaultEnv>(FaultEnv::failing(Kind::MayWrite, 1, error)));
        EXPECT_EQ(FileUtilities::isReadOnly(file), readOnly) << error.message();
    }
}

// Into an existing file or a new name, in the source's folder or another
// one (as on another device: a copy is renamed into place there), by full
// or bare names (a bare name lives in the current folder). Names are UTF-8
// text: one outside ASCII reaches the file the standard library made
// under it, which exists, may be written and is removed.
TEST_F(NativeFileSystem, ReplacePutsTheSourceInTheDestinationsPlace) {
    fs::create_directory(dir.root() / "other");
    const fs::path before = fs::current_path();
    const std::shared_ptr<void> back(nullptr, [&](void*) { fs::current_path(before); });
    struct Row { std::string cwd; std::string source; std::string destination; bool exists; };
    const Row rows[] = {
        {"", dir.path("a.tmp.zvd"), dir.path("Pumpe \xC3\xBC\xC3\x9F.zvd"), true},
        {"", dir.path("a.tmp.zvd"), dir.path("\xE3\x83\x9D\xE3\x83\xB3\xE3\x83\x97.zvd"), false},
        {"", dir.path("a.tmp.zvd"), dir.path("other/a \xC3\xBC.zvd"), true},
        {dir.path(""), "a.tmp.zvd", "a.zvd", true},
        {dir.path("other"), dir.path("a.tmp.zvd"), "a.zvd", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cwd + ": " + row.source + " over " + row.destination);
        if (!row.cwd.empty()) {
            fs::current_path(TempFolder::fromUtf8(row.cwd));
        }
        if (row.exists) {
            std::ofstream(TempFolder::fromUtf8(row.destination)) << "old content, longer than the new";
        }
        dir.write("a.tmp.zvd", "new");
        ASSERT_TRUE(FileUtilities::replaceFile(row.source, row.destination));
        EXPECT_EQ(TempFolder::read(row.destination), "new");
        EXPECT_FALSE(FileUtilities::exists(row.source, false));
        EXPECT_EQ(leftovers(fs::absolute(TempFolder::fromUtf8(row.destination)).parent_path()), 0);
        EXPECT_TRUE(FileUtilities::exists(row.destination, false) && FileUtilities::exists(row.destination, true));
        EXPECT_FALSE(FileUtilities::isReadOnly(row.destination));
        FileUtilities::remove(row.destination);
        EXPECT_FALSE(fs::exists(TempFolder::fromUtf8(row.destination)));
        EXPECT_FALSE(FileUtilities::exists(row.destination, false) || FileUtilities::isReadOnly(row.destination));
        fs::current_path(before);
    }
    EXPECT_TRUE(log->records().empty()) << log->records().front().message;
}

// Every call a replace makes, in the source's folder and across folders
// (where a copy is made beside the destination and the source removed),
// failed in turn: the replace stops there, says why (the error, and one
// logged line naming both files) and leaves the destination and the source
// as they were, with no copy left. Only what comes after the destination
// holds the new file fails nothing but is logged: the folder's flush, and
// across folders the source's removal. A folder's full path serves messages
// alone.
TEST_F(NativeFileSystem, AReplaceStopsAtTheCallThatFails) {
    const auto env = std::make_shared<FaultEnv>();
    const ScopedEnv installedEnv(env);
    fs::create_directory(dir.root() / "other");
    const auto failure = std::make_error_code(std::errc::io_error);
    int pairs = 0;
    for (const bool across : {false, true}) {
        const std::string design = dir.path(across ? "other/a.zvd" : "a.zvd");
        const std::string source = dir.path("a.tmp.zvd");
        pairs += env->failEachCall([&](Kind) { return failure; }, [&](Kind kind, int k) {
            dir.write(across ? "other/a.zvd" : "a.zvd", "old");
            dir.write("a.tmp.zvd", "new");
            log->clear();
            const std::error_code error = FileUtilities::replace(source, design);
            const auto records = log->records();
            const bool sourceLeft = fs::remove(TempFolder::fromUtf8(source));
            if (k == 0 || kind == Kind::PathOf) {
                EXPECT_FALSE(error || sourceLeft) << error.message();
                return;
            }
            const FaultEnv::Call failed = *env->failed();
            SCOPED_TRACE(failed.describe() + (across ? ", across folders" : ""));
            const bool stands = (kind == Kind::Sync && failed.onFolder) || (kind == Kind::RemoveIf && failed.names == "a.tmp.zvd");
            EXPECT_TRUE(stands ? !error : means(error, std::errc::io_error)) << error.message();
            EXPECT_EQ(TempFolder::read(design), stands ? "new" : "old");
            EXPECT_EQ(sourceLeft, !stands || kind == Kind::RemoveIf);
            EXPECT_EQ(leftovers(TempFolder::fromUtf8(design).parent_path()), 0);
            ASSERT_EQ(records.size(), 1u);
            const std::string named = !stands ? "Cannot replace '" + design + "' with '" + source
                                      : kind == Kind::Sync ? "Cannot sync folder '"
                                                           : "Cannot remove '" + source + "' once it was copied";
            EXPECT_EQ(records[0].message.rfind(named, 0), 0u) << records[0].message;
        });
    }
    std::cout << "[ fault table ] " << pairs << " (replace, failing call) pairs\n";
    // Every file made on the way, a new file's too, is private until it has the design's access.
    (void)NewFile::create(dir.path("b.tmp.zvd"), dir.path("a.zvd"));
    ASSERT_FALSE(env->created().empty());
    for (const OpenOptions& created : env->created()) {
        EXPECT_EQ(created.mode, 0600u);
    }
}

// A refused removal or creation throws and logs one line that names the
// file and ends in the system's reason (without its punctuation); the
// reason is also the error as data, as for a replace of no file. A new
// file never takes a name already taken, nor leaves one behind.
TEST_F(NativeFileSystem, ARefusalNamesTheFileAndIsLogged) {
    const std::string design = dir.write("a.zvd", "design");
    const std::string taken = dir.write("taken.tmp.zvd", "someone's");
    const std::string missing = dir.path("missing \xC3\xBC.tmp.zvd");
    EXPECT_TRUE(means(FileUtilities::replace(missing, design), std::errc::no_such_file_or_directory));
    struct Row { std::string name; std::function<void()> attempt; std::errc reason; const char* said; };
    const auto create = [](const std::string& name, const std::string& like) {
        return [=] { NewFile::create(name, like); };
    };
    const Row rows[] = {
        {missing, [&] { FileUtilities::remove(missing); }, std::errc::no_such_file_or_directory, "Cannot remove '"},
        {taken, create(taken, design), std::errc::file_exists, "Cannot create '"},
        {dir.path("a.tmp.zvd"), create(dir.path("a.tmp.zvd"), dir.path("no.zvd")), std::errc::no_such_file_or_directory,
         "Cannot create '"},
        {dir.path("none/a.tmp.zvd"), create(dir.path("none/a.tmp.zvd"), design), std::errc::no_such_file_or_directory,
         "Cannot create '"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log->clear();
        try {
            row.attempt();
            ADD_FAILURE() << "done";
        } catch (const FileNameException& e) {
            EXPECT_EQ(e.path(), row.name);
            EXPECT_TRUE(means(e.code(), row.reason));
            const std::string prefix = row.said + row.name + "': ";
            const std::string thrown = e.what();
            ASSERT_EQ(thrown.substr(0, prefix.size()), prefix);
            const std::string reason = thrown.substr(prefix.size());
            EXPECT_FALSE(reason.empty());
            EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
            EXPECT_NE(reason.back(), '.') << reason;
            ASSERT_EQ(log->records().size(), 1u);
            EXPECT_EQ(log->records()[0].message, thrown);
            EXPECT_EQ(log->records()[0].level, LogLevel::Error);
        }
        EXPECT_EQ(fs::exists(TempFolder::fromUtf8(row.name)), row.name == taken);
    }
    EXPECT_EQ(TempFolder::read(taken), "someone's");
}

// A new file is removed when it is dropped unused only while the name still
// holds it, and a move hands that on. (That a new file is empty, its
// identity and its removal when dropped, every save of the save API meets.)
TEST_F(NativeFileSystem, NewFileRemovesItsFileOnlyWhileTheNameHoldsIt) {
    const std::string design = dir.write("a.zvd", "design");
    const std::string temporary = dir.path("a.tmp.zvd");
    const auto present = [](const std::string& name) { return fs::exists(TempFolder::fromUtf8(name)); };
    {
        const std::string other = dir.write("other.zvd", "other");
        const NewFile file = NewFile::create(temporary, design);
        fs::rename(TempFolder::fromUtf8(other), TempFolder::fromUtf8(temporary));
        EXPECT_FALSE(file.unchanged());
    }
    EXPECT_EQ(TempFolder::read(temporary), "other") << "what was put under the name stays";
    fs::remove(TempFolder::fromUtf8(temporary));
    {
        NewFile kept = NewFile::create(temporary, design);
        NewFile(std::move(kept)).release();
        kept = NewFile::create(dir.path("b.tmp.zvd"), design);
        EXPECT_TRUE(present(temporary)) << "released, and left alone by the moved-from object";
        kept = NewFile::create(dir.path("c.tmp.zvd"), design);
        EXPECT_FALSE(present(dir.path("b.tmp.zvd"))) << "assigning over an object drops its file";
    }
    EXPECT_FALSE(present(dir.path("c.tmp.zvd")));
    EXPECT_TRUE(log->records().empty());
    EXPECT_EQ(maxLeafNameLength(design), 255u);
    EXPECT_EQ(maxLeafNameLength("a.zvd"), 255u) << "a name without a folder is in the current one";
}

} // namespace
} // namespace Zorvan
