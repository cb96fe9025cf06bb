#pragma once
/// @file
/// FileOpenException: a design file was refused while being opened. This
/// library raises it only when a file's version cannot be read
/// (Type::VersionUnreadable); hosts may raise other types. Catch it as
/// FileOpenException, ZvException or std::exception.

#include <cstdint>
#include <source_location>
#include <string>

#include "Exceptions/ZvException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIOExport.h"

namespace Zorvan {

class PERSISTENCE_ZVFILEIO_EXPORT FileOpenException : public ZvException {
public:
    /// Why the file was refused. Values other than those named here may be
    /// raised by other components.
    enum Type : std::int32_t {
        VersionUnreadable = 1,
    };

    /// `message` is shown to the user (what()): pass it translated. The
    /// default `location` records where the exception is constructed.
    FileOpenException(const std::string& message, Type type,
                      std::source_location location = std::source_location::current());
    /// Copies and moves keep message, type and location; a move copies, so
    /// the source stays whole. They throw only std::bad_alloc.
    FileOpenException(const FileOpenException& other);
    FileOpenException(FileOpenException&& other);
    FileOpenException& operator=(const FileOpenException& other);
    FileOpenException& operator=(FileOpenException&& other);
    ~FileOpenException() override;

    /// The type given at construction.
    Type getType() const;

private:
    Type m_type;
};

} // namespace Zorvan
