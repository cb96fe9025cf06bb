// DesignIOModule's operations, each beside the collaborator calls it makes,
// over the no-op design (where every object is already stored).

#include <memory>
#include <optional>
#include <utility>

#include "Benchmarks.h"
#include "NoOpCollaborators.h"
#include "Pairs.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"

namespace Zorvan::bench {
namespace {

using benchmark::DoNotOptimize;
using benchmark::State;

// What a module holds, as a host would hold it without the library.
struct BareModule {
    SerializationHandle handle;
    ZvFileWriteMode mode;
    bool doAction;
};

SerializationHandle design() { return noOpDesign(); }

void registerLifetime() {
    pair(
        "DesignIOModule::DesignIOModule+~DesignIOModule",
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                const DesignIOModule module(handle, ZvFileWriteMode::UpdateAll, true);
                DoNotOptimize(&module);
            });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                const BareModule module{handle, ZvFileWriteMode::UpdateAll, true};
                DoNotOptimize(&module);
            });
        });
    pair(
        "DesignIOModule::DesignIOModule(const DesignIOModule&)",
        [](State& state) {
            const DesignIOModule module(design(), ZvFileWriteMode::UpdateAll, true);
            measure(state, [&] {
                const DesignIOModule copy(module);
                DoNotOptimize(&copy);
            });
        },
        [](State& state) {
            const BareModule module{design(), ZvFileWriteMode::UpdateAll, true};
            measure(state, [&] {
                const BareModule copy(module);
                DoNotOptimize(&copy);
            });
        });
    // Moved out and back in, as the module offers no move assignment.
    pair(
        "DesignIOModule::DesignIOModule(DesignIOModule&&)x2",
        [](State& state) {
            std::optional<DesignIOModule> slot(std::in_place, design(), ZvFileWriteMode::UpdateAll, true);
            measure(state, [&] {
                DesignIOModule moved(std::move(*slot));
                slot.emplace(std::move(moved));
            });
        },
        [](State& state) {
            std::optional<BareModule> slot(BareModule{design(), ZvFileWriteMode::UpdateAll, true});
            measure(state, [&] {
                BareModule moved(std::move(*slot));
                slot.emplace(std::move(moved));
            });
        });
}

void registerAccessorsAndSave() {
    // No collaborator call: nothing to compare with.
    single("DesignIOModule::doAction", [](State& state) {
        const DesignIOModule module(design(), ZvFileWriteMode::UpdateSelected, true);
        measure(state, [&] { DoNotOptimize(module.doAction()); });
    });
    single("DesignIOModule::writeMode", [](State& state) {
        const DesignIOModule module(design(), ZvFileWriteMode::UpdateSelected, true);
        measure(state, [&] { DoNotOptimize(module.writeMode()); });
    });
    single("DesignIOModule::save(UpdateSelected,unselected)", [](State& state) {
        DesignIOModule module(design(), ZvFileWriteMode::UpdateSelected, false);
        SerializationTransferObject object(1, "Pipe", "payload");
        measure(state, [&] { module.save(object); });
    });
    pair(
        "DesignIOModule::save(Overwrite)",
        [](State& state) {
            DesignIOModule module(design(), ZvFileWriteMode::Overwrite, true);
            SerializationTransferObject object(1, "Pipe", "payload");
            measure(state, [&] { module.save(object); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            SerializationTransferObject object(1, "Pipe", "payload");
            measure(state, [&] { handle->insert(object); });
        });
    pair(
        "DesignIOModule::save(UpdateAll,stored)",
        [](State& state) {
            DesignIOModule module(design(), ZvFileWriteMode::UpdateAll, true);
            SerializationTransferObject object(1, "Pipe", "payload");
            measure(state, [&] { module.save(object); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            SerializationTransferObject object(1, "Pipe", "payload");
            measure(state, [&] {
                if (handle->contains(object)) {
                    handle->update(object);
                } else {
                    handle->insert(object);
                }
            });
        });
}

} // namespace

void registerDesignIOModuleBenchmarks() {
    registerLifetime();
    registerAccessorsAndSave();
}

} // namespace Zorvan::bench
