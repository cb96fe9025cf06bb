// Every exported operation, with each of its collaborator calls failing in
// turn: what comes out is exactly the injected fault, no collaborator is
// called after it, every handle share is released and the identifier lock
// is free again. The files are real, in a folder of the test's; each call
// of the Env may fail as one that runs out of memory does, by throwing.

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <optional>

#include <filesystem>

#include "FileHandling/testing/FaultEnv.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/testing/FailingSink.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Logging/Logging.h"
#include "Serialization/testing/FailingDesignStore.h"
#include "Translation/testing/FailingCatalogue.h"

namespace Zorvan {
namespace {

using testing::FailAt;
using testing::FailingCatalogue;
using testing::FailingSink;
using testing::FaultEnv;
using testing::InjectedFault;

struct World {
    FailAt plan;
    // A read-only design, a temporary file and an autosave copy.
    testing::TempFolder dir;
    std::string design = dir.write("p.zvd", "design");
    std::string temporary = dir.write("p.tmp.zvd", "new");
    std::string copy = dir.write("p.bak.zvd", "copy");
    std::shared_ptr<testing::FailingDesignStore> store = std::make_shared<testing::FailingDesignStore>(plan);
    SerializationHandle handle = store;
    std::optional<DesignIOModule> module; // a module keeps its share for its lifetime
    std::string text;                     // what an operation answers
    std::int32_t number = 0;
};

struct Operation {
    const char* name;
    std::function<void(World&)> run;
    long sharesAfter = 1; // handle shares the test expects afterwards
};

const Operation kOperations[] = {
    {"verifyZVVersion", [](World& w) { (void)ZvFileIO().verifyZVVersion(w.handle, std::make_shared<Progress>()); }},
    {"isCurrentZVVersion", [](World& w) { (void)ZvFileIO().isCurrentZVVersion(w.handle); }},
    {"verifyZVVersion(empty)", [](World&) { (void)ZvFileIO().verifyZVVersion(nullptr, nullptr); }},
    {"logFileVersionInfo", [](World& w) { ZvFileIO::logFileVersionInfo(w.design, w.handle); }},
    {"checkSavePossible(read-only)",
     [](World& w) { (void)ZvFileIO::checkSavePossible(w.design, ZvFileWriteMode::Overwrite, &w.text); }},
    {"prepareFileName", [](World& w) { (void)ZvFileIO::prepareFileName(w.design, ZvFileWriteMode::Overwrite); }},
    {"restoreFileName",
     [](World& w) { (void)ZvFileIO::restoreFileName(w.design, w.temporary, ZvFileWriteMode::Overwrite); }},
    {"readMaxIdentifierValue", [](World& w) { ZvFileIO::readMaxIdentifierValue(w.handle); }},
    {"updateMaxIdentifierValue", [](World& w) { ZvFileIO::updateMaxIdentifierValue(w.handle); }},
    {"writeMetaData(Overwrite)",
     [](World& w) { ZvFileIO::writeMetaData(w.handle, "d", 1, ZvFileWriteMode::Overwrite, ""); }},
    {"writeMetaData(UpdateAll)",
     [](World& w) { ZvFileIO::writeMetaData(w.handle, "d", 1, ZvFileWriteMode::UpdateAll, "r0"); }},
    {"getDataRevision", [](World& w) { ZvFileIO().getDataRevision(w.handle, w.text, w.number); }},
    {"createGroup", [](World& w) { ZvFileIO().createGroup(w.handle); }},
    {"deleteAssociatedAutosaveFile", [](World& w) { ZvFileIO().deleteAssociatedAutosaveFile(w.design); }},
    {"DesignIOModule::save",
     [](World& w) {
         w.module.emplace(w.handle, ZvFileWriteMode::UpdateAll, false);
         SerializationTransferObject object(1, "Pipe", "p");
         w.store->real.objects[1] = object;
         w.module->save(object);
     },
     2},
};

// Runs `operation` in `world` with the collaborators that fail as its plan
// says.
void runIn(World& world, const Operation& operation) {
    namespace fs = std::filesystem;
    fs::permissions(testing::TempFolder::fromUtf8(world.design), fs::perms::owner_write | fs::perms::group_write |
                                                                     fs::perms::others_write,
                    fs::perm_options::remove);
    const ScopedEnv env(std::make_shared<FaultEnv>([&](FaultEnv::Kind kind, const std::string&) {
        world.plan.hit(FaultEnv::name(kind));
        return std::error_code();
    }));
    const ScopedLogSink sink(std::make_shared<FailingSink>(world.plan));
    const auto catalogue = Translator::setCatalogue(std::make_shared<FailingCatalogue>(world.plan));
    const std::shared_ptr<void> restore(nullptr, [&](void*) { Translator::setCatalogue(catalogue); });
    operation.run(world);
}

TEST(FaultInjection, EveryCallOfEveryOperationCanFailCleanly) {
    int pairs = 0;
    for (const Operation& operation : kOperations) {
        World clean; // a clean run counts the operation's collaborator calls
        try {
            runIn(clean, operation);
        } catch (const FileOpenException&) {
            // the empty handle's refusal is the operation's own outcome
        }
        const int callCount = static_cast<int>(clean.plan.calls.size());
        ASSERT_GT(callCount, 0) << operation.name;

        for (int k = 1; k <= callCount; ++k, ++pairs) {
            SCOPED_TRACE(std::string(operation.name) + ", failing call " + std::to_string(k));
            World world;
            world.plan.k = k;
            try {
                runIn(world, operation);
                ADD_FAILURE() << "no exception";
            } catch (const InjectedFault& e) {
                EXPECT_EQ(e.what(), FailAt::message(k, world.plan.calls.back()));
            }
            EXPECT_EQ(static_cast<int>(world.plan.calls.size()), k) << "a collaborator was called after the fault";
            world.store.reset();
            EXPECT_EQ(world.handle.use_count(), operation.sharesAfter);
        }
    }
    // Would block if any failure above had left the identifier lock held.
    World world;
    ZvFileIO::readMaxIdentifierValue(world.handle);
    RecordProperty("pairs", pairs);
    std::cout << "[ fault injection ] " << pairs << " (operation, failing call) pairs\n";
}

} // namespace
} // namespace Zorvan
