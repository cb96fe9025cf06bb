#pragma once
// A file system held in memory, for tests of code that goes through
// FileUtilities. Files are names with a read-only flag; `failRemove`
// makes remove() throw the given exception.

#include <exception>
#include <map>
#include <string>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"

namespace Zorvan::testing {

class FakeFileSystem : public FileSystem {
public:
    bool exists(const FileName& name, bool /*followSymlinks*/) override {
        return files.contains(name.toNativeString());
    }
    bool isReadOnly(const FileName& name) override {
        const auto found = files.find(name.toNativeString());
        return found != files.end() && found->second;
    }
    void remove(const FileName& name) override {
        if (failRemove) {
            std::rethrow_exception(failRemove);
        }
        if (files.erase(name.toNativeString()) == 0) {
            throw FileNameException("Cannot remove '" + name.toNativeString() + "': No such file",
                                    name.toNativeString(), std::make_error_code(std::errc::no_such_file_or_directory));
        }
    }
    bool replaceFile(const FileName& source, const FileName& destination) override {
        if (files.erase(source.toNativeString()) == 0) {
            return false;
        }
        files[destination.toNativeString()] = false;
        return true;
    }

    std::map<std::string, bool> files; // name -> read-only
    std::exception_ptr failRemove;
};

} // namespace Zorvan::testing
