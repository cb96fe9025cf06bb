#pragma once
// A file system held in memory that records every call, for tests of code
// that goes through FileUtilities. Files are names with a read-only flag;
// `failRemove` makes remove() throw the given exception.

#include <exception>
#include <map>
#include <string>
#include <vector>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"

namespace Zorvan::testing {

class FakeFileSystem : public FileSystem {
public:
    bool exists(const FileName& name, bool followSymlinks) override {
        record("exists " + name.toNativeString() + (followSymlinks ? " follow" : ""));
        return files.contains(name.toNativeString());
    }
    bool isReadOnly(const FileName& name) override {
        record("isReadOnly " + name.toNativeString());
        const auto found = files.find(name.toNativeString());
        return found != files.end() && found->second;
    }
    void remove(const FileName& name) override {
        record("remove " + name.toNativeString());
        if (failRemove) {
            std::rethrow_exception(failRemove);
        }
        if (files.erase(name.toNativeString()) == 0) {
            throw FileNameException("Cannot remove '" + name.toNativeString() + "': No such file",
                                    name.toNativeString(), std::make_error_code(std::errc::no_such_file_or_directory));
        }
    }
    bool replaceFile(const FileName& source, const FileName& destination) override {
        record("replaceFile " + source.toNativeString() + " " + destination.toNativeString());
        if (files.erase(source.toNativeString()) == 0) {
            return false;
        }
        files[destination.toNativeString()] = false;
        return true;
    }

    void record(std::string call) { calls.push_back(std::move(call)); }

    std::map<std::string, bool> files; // name -> read-only
    std::vector<std::string> calls;
    std::exception_ptr failRemove;
};

} // namespace Zorvan::testing
