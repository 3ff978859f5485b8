#pragma once

#include "platform/frontmostapplication.h"
#include "wire/wirerecords.h"

#include <QString>

#include <optional>

namespace AppContextCapture {

// The category of an application id ("browser", "terminal", ... or "general"). Rows are tried in order;
// each matches either the whole id or its beginning, case-sensitively.
QString category(const QString& bundleID);

// The context of the application the user is working in (app); absent when no other application is active.
std::optional<AppContext> contextOf(const std::optional<FrontmostAppInfo>& app);

// Terminals whose only copy is the PRIMARY selection: any Ctrl+C variant sent to them reaches the
// running program as an interrupt, so no copy shortcut may be sent.
bool hasNoCopyShortcut(const QString& bundleID);

} // namespace AppContextCapture
