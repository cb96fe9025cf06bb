#include "Exceptions/FileError.h"

#include <iterator>
#include <utility>

namespace Zorvan {
namespace {

// What each FileErrc means, in its order, for logs.
constexpr const char* kMessages[] = {
    "another program holds it locked",
    "another program has it open and keeps it from being written",
    "a write-ahead log holds changes another program did not finish",
    "it belongs to a user who could not have written the design",
    "it has other names too",
    "it names a super-journal",
    "switched to write-ahead logging",
    "a symbolic link of another user in a folder everybody may write to",
    "not a regular file",
    "a file a design never uses",
    "not a design file",
    "damaged",
    "not an empty file",
    "two objects have one identity",
    "closed",
    "open for reading only",
};

class FileErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "zv.file"; }
    std::string message(int code) const override {
        const bool known = code >= 1 && code <= static_cast<int>(std::size(kMessages));
        return known ? kMessages[code - 1] : "unknown file error " + std::to_string(code);
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
