#pragma once

#include <QByteArray>
#include <QUrl>

// Defined by a file that CMake generates for each executable (quillora_add_service_config), so that
// tests and the end-to-end build can point the same library code at a local stub service.
QUrl compiledServiceUrl();
QByteArray compiledServiceToken();

// Empty when the URL is usable, otherwise a message saying what is wrong with it.
QString serviceUrlProblem(const QUrl& url);
