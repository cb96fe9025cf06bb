#pragma once
/// @file
/// DesignIOModule: stores one part of a design through the serialization
/// interface of the file being saved, as the save's write mode says:
///   Overwrite       every module saves; objects are always inserted.
///   UpdateSelected  only modules constructed with doAction true save; an
///                   object already stored is updated, any other inserted.
///   UpdateAll       every module saves, updating or inserting.
/// Any other mode value behaves as UpdateSelected. A module with an empty
/// handle saves nothing.
///
/// A value object: its fields never change after construction (a move
/// empties the source's handle). Thread-safety: as the handle's.
///
/// A primitive of the save road: hosts save through DesignPart
/// (DesignSave/DesignSave.h), which wraps a module and adds removal.

#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIOExport.h"
#include "Serialization/SingleObjectInterface.h"

namespace Zorvan {

class PERSISTENCE_ZVFILEIO_EXPORT DesignIOModule {
public:
    /// Keeps a share of `handle` (may be empty) for the module's lifetime.
    /// doAction() is true for Overwrite and UpdateAll whatever `doAction` says.
    DesignIOModule(SerializationHandle handle, ZvFileWriteMode mode, bool doAction);
    /// Shares the other module's handle; saves as the other does.
    DesignIOModule(const DesignIOModule& other);
    /// Takes the handle over; the source then saves nothing.
    DesignIOModule(DesignIOModule&& other) noexcept;
    DesignIOModule& operator=(const DesignIOModule&) = delete;
    DesignIOModule& operator=(DesignIOModule&&) = delete;
    /// Releases the handle share. None of the constructors, nor the
    /// destructor, throws.
    ~DesignIOModule();

    /// Whether save() stores anything (given a handle): true for Overwrite
    /// and UpdateAll, else the value given at construction.
    bool doAction() const;
    /// The mode given at construction, also one this library does not know.
    ZvFileWriteMode writeMode() const;

    /// Stores `object`, or does nothing when the handle is empty or doAction()
    /// is false: Overwrite inserts it; any other mode updates it when the
    /// file already holds an object of its identity, else inserts it.
    /// `object` is passed to the interface as it is; the module does not
    /// change it. Exceptions of the interface pass through.
    void save(SerializationTransferObject& object);

private:
    SerializationHandle m_interface;
    ZvFileWriteMode m_writeMode;
    bool m_doAction;
};

} // namespace Zorvan
