// Every exported operation, with each of its collaborator calls failing in
// turn: what comes out is exactly the injected fault, no collaborator is
// called after it, every handle share is released and the identifier lock
// is free again.

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <optional>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FailingFileSystem.h"
#include "Logging/testing/FailingSink.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Logging/Logging.h"
#include "Serialization/testing/FailingDesignStore.h"
#include "Translation/testing/FailingCatalogue.h"

namespace Zorvan {
namespace {

using testing::FailingCatalogue;
using testing::FailingFileSystem;
using testing::FailingSink;
using testing::FaultPlan;
using testing::InjectedFault;

struct World {
    FaultPlan plan;
    std::shared_ptr<FailingFileSystem> fs = std::make_shared<FailingFileSystem>(plan);
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
    {"logFileVersionInfo", [](World& w) { ZvFileIO::logFileVersionInfo("d/p.zvd", w.handle); }},
    {"checkSavePossible(read-only)",
     [](World& w) { (void)ZvFileIO::checkSavePossible("d/p.zvd", ZvFileWriteMode::Overwrite, &w.text); }},
    {"prepareFileName", [](World&) { (void)ZvFileIO::prepareFileName("d/p.zvd", ZvFileWriteMode::Overwrite); }},
    {"restoreFileName",
     [](World&) { (void)ZvFileIO::restoreFileName("d/p.zvd", "d/p.tmp.zvd", ZvFileWriteMode::Overwrite); }},
    {"readMaxIdentifierValue", [](World& w) { ZvFileIO::readMaxIdentifierValue(w.handle); }},
    {"updateMaxIdentifierValue", [](World& w) { ZvFileIO::updateMaxIdentifierValue(w.handle); }},
    {"writeMetaData(Overwrite)",
     [](World& w) { ZvFileIO::writeMetaData(w.handle, "d", 1, ZvFileWriteMode::Overwrite, ""); }},
    {"writeMetaData(UpdateAll)",
     [](World& w) { ZvFileIO::writeMetaData(w.handle, "d", 1, ZvFileWriteMode::UpdateAll, "r0"); }},
    {"getDataRevision", [](World& w) { ZvFileIO().getDataRevision(w.handle, w.text, w.number); }},
    {"createGroup", [](World& w) { ZvFileIO().createGroup(w.handle); }},
    {"deleteAssociatedAutosaveFile", [](World&) { ZvFileIO().deleteAssociatedAutosaveFile("d/p.zvd"); }},
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
// says, on a read-only design, a temporary file and an autosave copy.
void runIn(World& world, const Operation& operation) {
    world.fs->files = {{"d/p.zvd", true}, {"d/p.tmp.zvd", false}, {"d/p.bak.zvd", false}};
    const ScopedFileSystem fs(world.fs);
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
            world.plan.failAt(k);
            try {
                runIn(world, operation);
                ADD_FAILURE() << "no exception";
            } catch (const InjectedFault& e) {
                EXPECT_EQ(e.what(), FaultPlan::message(k, world.plan.calls.back()));
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
