// A temporary folder for tests that work on real files, removed with all it
// holds when the test ends. Portable: the same code serves POSIX and Windows.
#pragma once

#include <filesystem>
#include <random>
#include <string>

class TempDir {
public:
    TempDir()
    {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        do {
            path_ = base / ("ratefold-test-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path of a file in the folder, as the program takes it.
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};
