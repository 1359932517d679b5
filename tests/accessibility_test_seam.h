#pragma once

// A fake platform and a helper bundle in a temporary folder, for the
// permission watcher and its window.
#include "platform/pointer.h"
#include "platform/seam.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace AccessibilityTest {

struct FakeSeam : Platform::Seam, Platform::Pointer {
    bool trusted = false;
    bool probe = true;
    Platform::OSVersion version{10, 13, 6};
    std::string executable;
    std::vector<std::string> opened;
    int trustQueries = 0;
    int probeQueries = 0;

    bool isAccessibilityTrusted() override
    {
        ++trustQueries;
        return trusted;
    }
    bool canCreateEventTap() override
    {
        ++probeQueries;
        return probe;
    }
    void postPointerMove(double, double) override {}
    Platform::OSVersion osVersion() override { return version; }
    void openURL(const std::string &url) override { opened.push_back(url); }
    std::string executablePath() override { return executable; }
};

// The bundle values every test of a process shares: the App caches the
// ones it has read for the life of the process.
inline std::map<std::string, std::string> standardInfo()
{
    return {
        {"CFBundleName", "Tessaron Helper"},
        {"CFBundleDisplayName", "Tessaron Pointer"},
        {"CFBundleIdentifier", "pro.tessaron.helper"},
        {"CFBundleShortVersionString", "2.5.1"},
        {"CFBundleVersion", "42"},
    };
}

inline void writeFile(const std::filesystem::path &file, const std::string &text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readFile(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "<dir>/Tessaron Helper.app" with Contents/Info.plist and whatever
// resources a test puts in.
class FakeBundle {
public:
    explicit FakeBundle(const std::string &root, const std::map<std::string, std::string> &info = standardInfo())
        : bundle(std::filesystem::path(root) / "Tessaron Helper.app")
    {
        std::string body;
        for (const auto &[key, value] : info)
            body += "<key>" + key + "</key><string>" + value + "</string>\n";
        writeFile(bundle / "Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body
                + "</dict>\n</plist>\n");
        std::filesystem::create_directories(bundle / "Contents/MacOS");
        std::filesystem::create_directories(resources());
    }

    std::string path() const { return bundle.string(); }
    std::string executable() const { return (bundle / "Contents/MacOS/tessaron-helper").string(); }
    std::filesystem::path resources() const { return bundle / "Contents/Resources"; }
    std::string uiPath() const { return (resources() / "Accessibility.ui").string(); }

    void writeUi(const std::string &text) const { writeFile(resources() / "Accessibility.ui", text); }
    void copyIntoResources(const std::string &file) const
    {
        std::filesystem::copy_file(file, resources() / std::filesystem::path(file).filename(),
            std::filesystem::copy_options::overwrite_existing);
    }

private:
    std::filesystem::path bundle;
};

} // namespace AccessibilityTest
