#include "Exceptions/FileError.h"

#include <utility>

namespace Zorvan {
namespace {

class FileErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "zv.file"; }
    std::string message(int code) const override {
        switch (static_cast<FileErrc>(code)) {
        case FileErrc::Busy:
            return "another program holds it locked";
        case FileErrc::HeldOpen:
            return "another program has it open and keeps it from being written";
        case FileErrc::UnfinishedLog:
            return "a write-ahead log holds changes another program did not finish";
        case FileErrc::OtherOwner:
            return "it belongs to a user who could not have written the design";
        case FileErrc::OtherNames:
            return "it has other names too";
        case FileErrc::SuperJournal:
            return "it names a super-journal";
        case FileErrc::WriteAheadMode:
            return "switched to write-ahead logging";
        case FileErrc::ProtectedLink:
            return "a symbolic link of another user in a folder everybody may write to";
        case FileErrc::NotRegular:
            return "not a regular file";
        case FileErrc::OtherFile:
            return "a file a design never uses";
        case FileErrc::NotADesign:
            return "not a design file";
        case FileErrc::Damaged:
            return "damaged";
        case FileErrc::NotEmpty:
            return "not an empty file";
        case FileErrc::Duplicate:
            return "two objects have one identity";
        case FileErrc::Closed:
            return "closed";
        case FileErrc::ReadOnly:
            return "open for reading only";
        }
        return "unknown file error " + std::to_string(code);
    }
    std::error_condition default_error_condition(int code) const noexcept override {
        const auto errc = static_cast<FileErrc>(code);
        if (errc == FileErrc::Busy || errc == FileErrc::HeldOpen) {
            return std::errc::device_or_resource_busy;
        }
        return {code, *this};
    }
};

} // namespace

const std::error_category& fileErrorCategory() {
    static const FileErrorCategory category;
    return category;
}

std::error_code make_error_code(FileErrc code) { return {static_cast<int>(code), fileErrorCategory()}; }

bool is(const std::error_code& code, FileErrc condition) {
    return code == std::error_condition(static_cast<int>(condition), fileErrorCategory());
}

FileError::FileError(std::error_code code, FileRole role, std::string path, std::string subject,
                     std::source_location location)
    : ZvException("'" + path + "': " + code.message() + (subject.empty() ? "" : " (" + subject + ")"), location),
      m_code(code),
      m_role(role),
      m_path(std::move(path)),
      m_subject(std::move(subject)) {}
FileError::FileError(const FileError& other) = default;
FileError& FileError::operator=(const FileError& other) = default;
FileError::~FileError() = default;

} // namespace Zorvan
