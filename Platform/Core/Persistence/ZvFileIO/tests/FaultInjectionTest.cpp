// Every exported operation, with each of its collaborator calls failing in
// turn: what comes out is exactly the injected fault, no collaborator is
// called after it, every handle share is released and the identifier lock
// is free again. The files are real, in a folder of the test's; each call
// of the Env may fail as one that runs out of memory does, by throwing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>

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

using namespace testing;
constexpr ZvFileWriteMode kRewrite = ZvFileWriteMode::Overwrite, kUpdate = ZvFileWriteMode::UpdateAll;

// A read-only design, a temporary file and an autosave copy, and
// collaborators that fail as `plan` says.
struct World {
    FailAt plan;
    TempFolder dir;
    std::string design = dir.write("p.zvd", "design"), temporary = dir.write("p.tmp.zvd", "new");
    std::string copy = dir.write("p.bak.zvd", "copy");
    std::shared_ptr<FailingDesignStore> store = std::make_shared<FailingDesignStore>(plan);
    SerializationHandle handle = store;
    std::optional<DesignIOModule> module; // a module keeps its share for its lifetime
    std::string text;                     // what an operation answers
};

const std::tuple<const char*, std::function<void(World&)>, long> kOperations[] = {
    {"verifyZVVersion", [](World& w) { (void)ZvFileIO().verifyZVVersion(w.handle, std::make_shared<Progress>()); }, 1},
    {"isCurrentZVVersion", [](World& w) { (void)ZvFileIO().isCurrentZVVersion(w.handle); }, 1},
    {"verifyZVVersion(empty)", [](World&) { (void)ZvFileIO().verifyZVVersion(nullptr, nullptr); }, 1},
    {"logFileVersionInfo", [](World& w) { ZvFileIO::logFileVersionInfo(w.design, w.handle); }, 1},
    {"checkSavePossible", [](World& w) { (void)ZvFileIO::checkSavePossible(w.design, kRewrite, &w.text); }, 1},
    {"prepareFileName", [](World& w) { (void)ZvFileIO::prepareFileName(w.design, kRewrite); }, 1},
    {"restoreFileName", [](World& w) { (void)ZvFileIO::restoreFileName(w.design, w.temporary, kRewrite); }, 1},
    {"readMaxIdentifierValue", [](World& w) { ZvFileIO::readMaxIdentifierValue(w.handle); }, 1},
    {"updateMaxIdentifierValue", [](World& w) { ZvFileIO::updateMaxIdentifierValue(w.handle); }, 1},
    {"writeMetaData(Overwrite)", [](World& w) { ZvFileIO::writeMetaData(w.handle, "d", 1, kRewrite, ""); }, 1},
    {"writeMetaData(UpdateAll)", [](World& w) { ZvFileIO::writeMetaData(w.handle, "d", 1, kUpdate, "r0"); }, 1},
    {"getDataRevision", [](World& w) { std::int32_t n = 0; ZvFileIO().getDataRevision(w.handle, w.text, n); }, 1},
    {"createGroup", [](World& w) { ZvFileIO().createGroup(w.handle); }, 1},
    {"deleteAssociatedAutosaveFile", [](World& w) { ZvFileIO().deleteAssociatedAutosaveFile(w.design); }, 1},
    {"DesignIOModule::save",
     [](World& w) {
         SerializationTransferObject object = w.store->real.objects[1] = {1, "Pipe", "p"};
         w.module.emplace(w.handle, kUpdate, false).save(object);
     },
     2}};

// Runs `operation` in `world`; the empty handle's refusal is the operation's own outcome.
void runIn(World& world, const std::function<void(World&)>& operation) {
    std::filesystem::permissions(TempFolder::fromUtf8(world.design), std::filesystem::perms::owner_read);
    const ScopedEnv env(std::make_shared<FaultEnv>(
        [&](FaultEnv::Kind kind, const std::string&) { return world.plan.hit(FaultEnv::name(kind)), std::error_code(); }));
    const ScopedLogSink sink(std::make_shared<FailingSink>(world.plan));
    const auto catalogue = Translator::setCatalogue(std::make_shared<FailingCatalogue>(world.plan));
    const std::shared_ptr<void> restore(nullptr, [&](void*) { Translator::setCatalogue(catalogue); });
    try {
        operation(world);
    } catch (const FileOpenException&) {
        EXPECT_EQ(world.plan.k, 0) << "a fault taken for a refusal";
    }
}

TEST(FaultInjection, EveryCallOfEveryOperationCanFailCleanly) {
    int pairs = 0;
    for (const auto& [name, operation, sharesAfter] : kOperations) {
        World clean; // counts the operation's collaborator calls
        runIn(clean, operation);
        ASSERT_FALSE(clean.plan.calls.empty()) << name;
        for (int k = 1; k <= static_cast<int>(clean.plan.calls.size()); ++k, ++pairs) {
            SCOPED_TRACE(std::string(name) + ", failing call " + std::to_string(k));
            World world;
            world.plan.k = k;
            EXPECT_THROW(runIn(world, operation), InjectedFault);
            EXPECT_EQ(world.plan.calls.size(), static_cast<std::size_t>(k)) << "a collaborator was called after it";
            world.store.reset();
            EXPECT_EQ(world.handle.use_count(), sharesAfter);
        }
    }
    // Would block if any failure above had left the identifier lock held.
    ZvFileIO::readMaxIdentifierValue(World().handle);
    std::cout << "[ fault injection ] " << pairs << " (operation, failing call) pairs\n";
}

} // namespace
} // namespace Zorvan
