#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace TestSupport {

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/tessaron-test-XXXXXX";
        if (::mkdtemp(name))
            root = name;
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!root.empty())
            std::filesystem::remove_all(root, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path() const { return root.string(); }
    std::string operator/(const std::string &name) const { return (root / name).string(); }

private:
    std::filesystem::path root;
};

} // namespace TestSupport
