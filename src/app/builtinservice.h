#pragma once

#include <QByteArray>
#include <QUrl>

// The explanation service built into an executable. Defined by a file that CMake generates for each executable
// (quillora_add_service_config), so tests and the end-to-end build point the same program at a local stub.
// Only an executable's main() reads these; it hands them to the application.
QUrl compiledServiceUrl();
QByteArray compiledServiceToken();
