// End-to-end: the reference host's commands on real design files and what
// they print. The save road they drive is tested with the save API itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include <filesystem>
#include <functional>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Demo.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/TempFolder.h"
#include "Serialization/SqliteDesignStore.h"
#include "VersionControl/VersionControl.h"
#include "Serialization/testing/StoredObjects.h"

namespace zvfile {
namespace {

using Zorvan::SqliteDesignStore;

class Host : public ::testing::Test {
protected:
    std::string path(const std::string& leaf) const { return folder.path(leaf); }
    // A save as the command line hands it over.
    int save(Invocation invocation) {
        invocation.command = Command::Save;
        invocation.lockWait = std::chrono::milliseconds(0);
        return run(invocation, out, err);
    }
    std::string savedLine(int objects) const {
        return "saved " + std::to_string(objects) + " objects to '" + path("a.zvd") + "' (software revision " +
               VersionControl().getRootRevisionAsString() + ")\n";
    }

    Zorvan::testing::TempFolder folder;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(Host, SaveThenReopenRoundTripsMetadataAndObjects) {
    ASSERT_EQ(save({.file = path("a.zvd"), .objects = 50, .dataRevision = "first", .dataRevisionNumber = 5}), kDone)
        << err.str();
    const std::string build = VersionControl().getRootRevisionAsString();

    std::ostringstream shown;
    ASSERT_EQ(info(path("a.zvd"), true, shown), kDone);
    const auto report = nlohmann::json::parse(shown.str());
    const auto objects = Zorvan::testing::storedObjects(*SqliteDesignStore::openForReading(path("a.zvd")));
    ASSERT_EQ(objects.size(), 50u);
    EXPECT_EQ(report, nlohmann::json::parse(R"({"schema": 1, "file": ")" + path("a.zvd") + R"(", "readable": true, "current": true,
        "version": )" + std::to_string(SqliteDesignStore::kCurrentVersion) + R"(, "createdRevision": ")" + build +
                                            R"(", "lastSavedRevision": ")" + build + R"(", "dataRevision": "first",
        "dataRevisionNumber": 5, "identifier": {"number": )" + std::to_string(objects.back().id() + 1) +
                                            R"(, "domain": 0}, "objects": 50})"));
    EXPECT_NE(objects.front().payload().find("saved as 'first'"), std::string::npos);
}

// A rewrite names the temporary file it writes through, an autosave the copy
// it wrote (an older one is replaced), clean what it deleted; an update in
// place writes the design itself and changes only the selected parts.
TEST_F(Host, EveryCommandSaysWhatItDid) {
    ASSERT_EQ(save({.file = path("a.zvd"), .objects = 40, .dataRevision = "old", .dataRevisionNumber = 1}), kDone)
        << err.str();
    ASSERT_EQ(save({.file = path("a.zvd"), .dataRevision = "old", .dataRevisionNumber = 1}), kDone) << err.str();
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone);
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone);
    EXPECT_EQ(SqliteDesignStore::openForReading(path("a.bak.zvd"))->objectCount(), 40);
    clean(path("a.zvd"), out);
    clean(path("a.zvd"), out);
    const std::string copy = path("a.bak.zvd");
    EXPECT_EQ(out.str(), savedLine(40) + "writing through '" + path("a.tmp.zvd") + "'\n" + savedLine(40) + copy +
                             "\n" + copy + "\ndeleted '" + copy + "'\nno autosave copy of '" + path("a.zvd") + "'\n");

    const auto before = Zorvan::testing::storedObjects(*SqliteDesignStore::openForReading(path("a.zvd")));
    out.str("");
    ASSERT_EQ(save({.file = path("a.zvd"),
                    .mode = SaveMode::UpdateSelected,
                    .select = {"valves"},
                    .dataRevision = "new",
                    .dataRevisionNumber = 2}),
              kDone)
        << err.str();
    EXPECT_EQ(out.str(), savedLine(10)) << "the valves alone are written";
    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    const auto after = Zorvan::testing::storedObjects(*store);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].id(), before[i].id());
        const bool valve = after[i].type() == "valves";
        EXPECT_EQ(after[i].payload().find("saved as 'new'") != std::string::npos, valve) << after[i].payload();
    }
    EXPECT_EQ(store->updateCount(), 1);
}

// The file service stands in for the disk: a replace it cannot make, or a
// removal it refuses, fails like a full disk or a locked folder would.
class RefusingFileSystem : public Zorvan::FileSystemWrapper {
public:
    RefusingFileSystem() : FileSystemWrapper(Zorvan::nativeFileSystem()) {}
    bool replaceFile(const Zorvan::FileName&, const Zorvan::FileName&) override { return false; }
    void remove(const Zorvan::FileName& name) override {
        throw Zorvan::FileNameException("Cannot remove '" + name.toNativeString() + "': Permission denied",
                                        name.toNativeString());
    }
};

// Every command reports a refusal or a failure in one line that names the
// file and says why, and never prints it as done; info shows nothing of a
// design too new to read.
TEST_F(Host, EveryFailureIsOneLineAndNeverReportedAsDone) {
    ASSERT_EQ(save({.file = path("a.zvd"), .objects = 20, .dataRevision = "old", .dataRevisionNumber = 1}), kDone)
        << err.str();
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone);
    SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
    folder.write("notes.zvd", "not a design\n");
    out.str("");
    std::ostringstream shown;
    const Zorvan::ScopedFileSystem refusing(std::make_shared<RefusingFileSystem>());
    const std::tuple<std::string, std::string, std::function<int()>> commands[] = {
        {"a.zvd", "its new version cannot be put in place; the design is left as it was.",
         [&] {
             return save({.file = path("a.zvd"), .objects = 20, .dataRevision = "new", .dataRevisionNumber = 2});
         }},
        {"a.bak.zvd", "cannot delete",
         [&] { return run({.command = Command::Clean, .file = path("a.zvd")}, out, err); }},
        {"notes.zvd", "Error reading file version.",
         [&] { return run({.command = Command::Autosave, .file = path("notes.zvd")}, out, err); }},
        {"future.zvd", "was written by a newer version",
         [&] { return run({.command = Command::Info, .file = path("future.zvd")}, shown, err); }},
    };
    for (const auto& [file, why, command] : commands) {
        SCOPED_TRACE(file);
        err.str("");
        EXPECT_EQ(command(), kRefused);
        const std::string line = err.str();
        EXPECT_EQ(line.rfind("zvfile: ", 0), 0u) << line;
        EXPECT_NE(line.find("'" + path(file) + "'"), std::string::npos) << line;
        EXPECT_NE(line.find(why), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    }
    EXPECT_EQ(shown.str(), "");
    EXPECT_EQ(out.str(), "writing through '" + path("a.tmp.zvd") + "'\n") << "nothing saved nor deleted";
    std::string revision;
    SqliteDesignStore::openForReading(path("a.zvd"))->readDataRevision(revision);
    EXPECT_EQ(revision, "old");
}

// The members of `info --json` where the schema allows them: the schema's
// own words (type, const, enum, required, properties, additionalProperties).
void expectConforms(const nlohmann::json& value, const nlohmann::json& schema, const std::string& where) {
    static const std::map<std::string, bool (nlohmann::json::*)() const noexcept> types = {
        {"object", &nlohmann::json::is_object},
        {"string", &nlohmann::json::is_string},
        {"integer", &nlohmann::json::is_number_integer},
        {"boolean", &nlohmann::json::is_boolean}};
    ASSERT_TRUE((value.*types.at(schema.at("type")))()) << where << " is not a " << schema.at("type");
    if (schema.contains("const")) {
        EXPECT_EQ(value, schema["const"]) << where;
    }
    if (schema.contains("enum")) {
        EXPECT_NE(std::find(schema["enum"].begin(), schema["enum"].end(), value), schema["enum"].end()) << where;
    }
    if (!value.is_object()) {
        return;
    }
    for (const auto& name : schema.value("required", nlohmann::json::array())) {
        EXPECT_TRUE(value.contains(name)) << where << " lacks " << name;
    }
    for (const auto& [name, member] : value.items()) {
        ASSERT_TRUE(schema["properties"].contains(name)) << where << " has " << name << ", which is not documented";
        expectConforms(member, schema["properties"][name], where + "." + name);
    }
}

// info --json prints one object the schema describes for every outcome,
// with an error member and exit code 1 exactly when the file is refused,
// also for a file name that is not UTF-8.
TEST_F(Host, InfoJsonFollowsItsSchemaForEveryOutcome) {
    std::ifstream schemaFile(ZVFILE_INFO_SCHEMA);
    const nlohmann::json schema = nlohmann::json::parse(schemaFile);
    ASSERT_EQ(save({.file = path("a.zvd"), .objects = 3}), kDone) << err.str();
    SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
    folder.write("notes.zvd", "not a design\n");
    const std::string odd = path("caf\xE9.zvd"); // Latin-1, not UTF-8
    ASSERT_EQ(save({.file = odd, .objects = 1}), kDone) << err.str();
    const std::tuple<std::string, int, const char*> cases[] = {
        {path("a.zvd"), kDone, nullptr},
        {odd, kDone, nullptr},
        {path("future.zvd"), kRefused, "newer"},
        {path("notes.zvd"), kRefused, "not-a-design"},
        {path("missing.zvd"), kRefused, "missing"},
    };
    for (const auto& [file, code, reason] : cases) {
        SCOPED_TRACE(file);
        std::ostringstream shown;
        EXPECT_EQ(info(file, true, shown), code);
        const nlohmann::json report = nlohmann::json::parse(shown.str());
        expectConforms(report, schema, "report");
        EXPECT_EQ(report.contains("error"), reason != nullptr);
        if (reason != nullptr) {
            EXPECT_EQ(report["error"]["reason"], reason);
        }
    }
}

TEST_F(Host, DemoTellsTheWholeStory) {
    EXPECT_EQ(demo((folder.root() / "demo").string(), out, err), kDone) << out.str() << err.str();
}

} // namespace
} // namespace zvfile
