#pragma once
// The application's settings keys and their registered defaults. Every part of
// the application names a key through these constants.

#include <string>
#include <string_view>
#include <vector>

#include "Settings.h"

namespace qm::keys {

inline constexpr std::string_view JSONFontName = "JSONFontName";
inline constexpr std::string_view JSONFontSize = "JSONFontSize";
inline constexpr std::string_view tailInfoPopupEnabled = "tailInfoPopupEnabled";
inline constexpr std::string_view annotatePathsEnabled = "annotatePathsEnabled";
inline constexpr std::string_view annotatePaths = "annotatePaths";
inline constexpr std::string_view annotateRootUserEnabled = "annotateRootUserEnabled";
inline constexpr std::string_view annotateQuarantinesEnabled = "annotateQuarantinesEnabled";
inline constexpr std::string_view annotateQuarantineExecEnabled = "annotateQuarantineExecEnabled";
inline constexpr std::string_view stickyRowEnabled = "stickyRowEnabled";
// Written by the preferences and read when following a file; never registered
// (absent means false).
inline constexpr std::string_view tailUseBigF = "tailUseBigF";

}  // namespace qm::keys

namespace qm {

// The default privileged-path fragments, in order; each is matched as a plain
// substring ("*" is a literal character).
const std::vector<std::string>& defaultAnnotatePaths();

// The defaults of every registered key, in registration order.
SettingPairs defaultSettings();

// Registers defaultSettings() in the settings' registration domain: values the
// user has stored stay in force.
void registerDefaultSettings(Settings& settings = standardSettings());

}  // namespace qm
