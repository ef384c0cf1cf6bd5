// Temporary folders and files for tests.
#pragma once

#include <string>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "sendorix-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// Writes exactly these bytes to path (created or truncated); throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::string& bytes);
// Reads a whole file; throws std::runtime_error when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace testsupport
