// ZvFileIO's operations, each beside the collaborator calls it makes, with
// the same arguments and in the same order, over the no-op collaborators.

#include <memory>
#include <string>

#include "Benchmarks.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "IdentifierAccess.h"
#include "Logging/Logging.h"
#include "NoOpCollaborators.h"
#include "Pairs.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Translation/Translator.h"
#include "VersionControl/VersionControl.h"

namespace Zorvan::bench {
namespace {

using benchmark::DoNotOptimize;
using benchmark::State;

// Long enough that every copy of a name allocates, as real paths do.
const FileName kName("/home/designer/projects/pumping-station.zvd");
const FileName kTemporary("/home/designer/projects/pumping-station.tmp.zvd");
constexpr ZvFileWriteMode kOverwrite = ZvFileWriteMode::Overwrite;

SerializationHandle design() { return noOpDesign(); }

// ---- The object ------------------------------------------------------------

void registerObject() {
    pair(
        "ZvFileIO::ZvFileIO+~ZvFileIO",
        [](State& state) {
            const auto map = std::make_shared<LoadRefactoringMap>();
            measure(state, [&] {
                const ZvFileIO io(map);
                DoNotOptimize(&io);
            });
        },
        [](State& state) {
            const auto map = std::make_shared<LoadRefactoringMap>();
            measure(state, [&] {
                const std::shared_ptr<LoadRefactoringMap> share(map);
                DoNotOptimize(&share);
            });
        });
    pair(
        "ZvFileIO::ZvFileIO(const ZvFileIO&)",
        [](State& state) {
            const ZvFileIO io(std::make_shared<LoadRefactoringMap>());
            measure(state, [&] {
                const ZvFileIO copy(io);
                DoNotOptimize(&copy);
            });
        },
        [](State& state) {
            const auto map = std::make_shared<LoadRefactoringMap>();
            measure(state, [&] {
                const std::shared_ptr<LoadRefactoringMap> copy(map);
                DoNotOptimize(&copy);
            });
        });
    // Alternating between two maps: assigning the share already held does nothing.
    pair(
        "ZvFileIO::operator=",
        [](State& state) {
            const ZvFileIO sources[] = {ZvFileIO(std::make_shared<LoadRefactoringMap>()),
                                        ZvFileIO(std::make_shared<LoadRefactoringMap>())};
            ZvFileIO target;
            std::size_t next = 0;
            measure(state, [&] {
                target = sources[next ^= 1];
                DoNotOptimize(&target);
            });
        },
        [](State& state) {
            const std::shared_ptr<LoadRefactoringMap> sources[] = {std::make_shared<LoadRefactoringMap>(),
                                                                   std::make_shared<LoadRefactoringMap>()};
            std::shared_ptr<LoadRefactoringMap> target;
            std::size_t next = 0;
            measure(state, [&] {
                target = sources[next ^= 1];
                DoNotOptimize(&target);
            });
        });
}

// ---- Opening -----------------------------------------------------------------

void registerOpening() {
    pair(
        "ZvFileIO::verifyZVVersion",
        [](State& state) {
            const ZvFileIO io;
            const SerializationHandle handle = design();
            measure(state, [&] { DoNotOptimize(io.verifyZVVersion(handle, nullptr)); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                std::int32_t fileVersion = -1;
                std::int32_t currentVersion = -1;
                const bool read = handle->readFileVersion(fileVersion) && handle->readCurrentVersion(currentVersion);
                DoNotOptimize(read && fileVersion >= 0 && fileVersion <= currentVersion);
            });
        });
    pair(
        "ZvFileIO::isCurrentZVVersion",
        [](State& state) {
            const ZvFileIO io;
            const SerializationHandle handle = design();
            measure(state, [&] { DoNotOptimize(io.isCurrentZVVersion(handle)); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                std::int32_t fileVersion = -1;
                std::int32_t currentVersion = -1;
                const bool read = handle->readFileVersion(fileVersion) && handle->readCurrentVersion(currentVersion);
                DoNotOptimize(read && fileVersion >= 0 && fileVersion == currentVersion);
            });
        });
    pair(
        "ZvFileIO::logFileVersionInfo",
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] { ZvFileIO::logFileVersionInfo(kName, handle); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            const Logging logger("Platform/Core/Persistence/ZvFileIO/ZvFileIO.cpp");
            measure(state, [&] {
                std::int32_t version = -1;
                std::string created;
                std::string lastSaved;
                handle->readFileVersion(version);
                handle->readCreatedRevision(created);
                handle->readLastSavedRevision(lastSaved);
                std::string message = "Opening file (version: ";
                message += std::to_string(version);
                message += " created with revision: ";
                message += created;
                message += " last saved with revision: ";
                message += lastSaved;
                message += ")";
                logger.logINFO(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            });
        });
}

// ---- Save targets --------------------------------------------------------------

// Installs a no-op Env whose files are all read-only, for one benchmark.
class ReadOnlyFiles {
public:
    ReadOnlyFiles() : m_installed(noOpEnv(true)) {}

private:
    ScopedEnv m_installed;
};

void registerSaveTargets() {
    pair(
        "ZvFileIO::checkSavePossible(writable)",
        [](State& state) {
            std::string message;
            measure(state, [&] { DoNotOptimize(ZvFileIO::checkSavePossible(kName, kOverwrite, &message)); });
        },
        [](State& state) {
            measure(state, [&] {
                const bool named = kName.getExtension() != kName.getLeafName();
                DoNotOptimize(named && (!FileUtilities::exists(kName, false) || !FileUtilities::isReadOnly(kName)));
            });
        });
    pair(
        "ZvFileIO::checkSavePossible(readOnly)",
        [](State& state) {
            const ReadOnlyFiles readOnly;
            std::string message;
            measure(state, [&] { DoNotOptimize(ZvFileIO::checkSavePossible(kName, kOverwrite, &message)); });
        },
        [](State& state) {
            const ReadOnlyFiles readOnly;
            std::string message;
            measure(state, [&] {
                const bool named = kName.getExtension() != kName.getLeafName();
                if (named && FileUtilities::exists(kName, false) && FileUtilities::isReadOnly(kName)) {
                    message = Translator::translate("DesignIO", "It is not possible to overwrite a readonly file.",
                                                    nullptr, -1);
                }
                DoNotOptimize(message.data());
            });
        });
    pair(
        "ZvFileIO::prepareFileName(Overwrite)",
        [](State& state) {
            measure(state, [&] { DoNotOptimize(ZvFileIO::prepareFileName(kName, kOverwrite)); });
        },
        [](State& state) {
            measure(state, [&] {
                FileName target(kName);
                if (FileUtilities::exists(target, false)) {
                    target.replaceExtension(".tmp" + target.getExtension());
                    if (FileUtilities::exists(target, false)) {
                        FileUtilities::remove(FileName(target.toNativeString()));
                    }
                }
                DoNotOptimize(target);
            });
        });
    pair(
        "ZvFileIO::restoreFileName(Overwrite)",
        [](State& state) {
            measure(state, [&] { DoNotOptimize(ZvFileIO::restoreFileName(kName, kTemporary, kOverwrite)); });
        },
        [](State& state) {
            measure(state, [&] {
                DoNotOptimize(kTemporary != kName && FileUtilities::replaceFile(kTemporary, kName));
            });
        });
}

// ---- Identifier counter and metadata ---------------------------------------------

void registerIdentifierAndMetadata() {
    // Each thread reads its own file, as one handle serves one thread.
    pair(
        "ZvFileIO::readMaxIdentifierValue",
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] { ZvFileIO::readMaxIdentifierValue(handle); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                std::int64_t number = 0;
                std::int16_t domain = 0;
                handle->readMaxIdentifier(number, domain);
                mergeIdentifier(Identifier::IdValue{number, domain});
            });
        },
        {1, 2});
    pair(
        "ZvFileIO::updateMaxIdentifierValue",
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] { ZvFileIO::updateMaxIdentifierValue(handle); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                const Identifier::IdValue next = nextIdentifier();
                handle->writeMaxIdentifier(next.number, next.domain);
            });
        });
    pair(
        "ZvFileIO::writeMetaData(Overwrite)",
        [](State& state) {
            const SerializationHandle handle = design();
            const std::string dataRevision = "data-revision-42";
            const std::string created = "r1";
            measure(state,
                    [&] { DoNotOptimize(ZvFileIO::writeMetaData(handle, dataRevision, 42, kOverwrite, created)); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            const std::string dataRevision = "data-revision-42";
            const std::string created = "r1";
            measure(state, [&] {
                const std::string build = VersionControl().getRootRevisionAsString();
                std::int32_t number = 42;
                handle->writeDataRevision(dataRevision);
                handle->writeDataRevisionNumber(number);
                handle->writeCreatedRevision(created);
                handle->writeLastSavedRevision(build);
                const Identifier::IdValue next = nextIdentifier();
                handle->writeMaxIdentifier(next.number, next.domain);
                DoNotOptimize(build.data());
            });
        });
    pair(
        "ZvFileIO::getDataRevision",
        [](State& state) {
            const ZvFileIO io;
            const SerializationHandle handle = design();
            std::string revision;
            std::int32_t number = 0;
            measure(state, [&] { io.getDataRevision(handle, revision, number); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            std::string revision;
            std::int32_t number = 0;
            measure(state, [&] {
                handle->readDataRevision(revision);
                handle->readDataRevisionNumber(number);
            });
        });
    pair(
        "ZvFileIO::createGroup",
        [](State& state) {
            ZvFileIO io;
            const SerializationHandle handle = design();
            measure(state, [&] { io.createGroup(handle); });
        },
        [](State& state) {
            const SerializationHandle handle = design();
            measure(state, [&] {
                std::int32_t reference = 0;
                handle->addGroup(reference);
            });
        });
}

// ---- Autosave -------------------------------------------------------------------

void registerAutosave() {
    pair(
        "ZvFileIO::constructAutosaveFileName",
        [](State& state) {
            const ZvFileIO io;
            measure(state, [&] { DoNotOptimize(io.constructAutosaveFileName(kName)); });
        },
        [](State& state) {
            measure(state, [&] {
                FileName autosave(kName);
                autosave.replaceExtension(".bak" + kName.getExtension());
                DoNotOptimize(autosave);
            });
        });
    pair(
        "ZvFileIO::deleteAssociatedAutosaveFile",
        [](State& state) {
            ZvFileIO io;
            measure(state, [&] { DoNotOptimize(io.deleteAssociatedAutosaveFile(kName)); });
        },
        [](State& state) {
            measure(state, [&] {
                FileName autosave(kName);
                autosave.replaceExtension(".bak" + kName.getExtension());
                const bool existed = FileUtilities::exists(autosave, false);
                if (existed) {
                    try {
                        FileUtilities::remove(autosave);
                    } catch (const FileNameException&) {
                    }
                }
                DoNotOptimize(existed);
            });
        });
}

} // namespace

void registerZvFileIOBenchmarks() {
    registerObject();
    registerOpening();
    registerSaveTargets();
    registerIdentifierAndMetadata();
    registerAutosave();
}

} // namespace Zorvan::bench
