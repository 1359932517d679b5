#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace Harness {

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

// Writes the file whole, making its folders first.
inline void writeFile(const std::filesystem::path &file, const std::string &text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// The whole file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace Harness
