#pragma once
// Temporary application bundles for the locator and launch tests.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

enum class PlistFormat { xml, binary };

// Writes `values` (text values only) as an information list in the given format.
void writeInfoPlist(const std::filesystem::path& file, const std::map<std::string, std::string>& values,
                    PlistFormat format = PlistFormat::xml);

// Creates <parent>/<name>.app with Contents/Info.plist holding `values`; when `executable` is
// given it is copied to Contents/MacOS/<CFBundleExecutable>.
std::filesystem::path makeBundle(const std::filesystem::path& parent, const std::string& name,
                                 const std::map<std::string, std::string>& values,
                                 const std::optional<std::filesystem::path>& executable = std::nullopt,
                                 PlistFormat format = PlistFormat::xml);

// Stops every running instance of the bundle identifier that lives under `parent`, and waits
// (up to 2 s) until they are gone.
void stopApplicationsUnder(const std::filesystem::path& parent, const std::string& bundleIdentifier);

}  // namespace testsupport
