#pragma once
// A fresh directory under /tmp, removed with everything in it when the object goes. Paths stay
// short so that socket paths derived from them fit a Unix socket address.

#include <filesystem>
#include <string>

namespace testsupport {

class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix = "lumora-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
