#include "app/serviceconfig.h"
#include "settings/appsettings.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quillora"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLORA_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    if (const QString problem = serviceUrlProblem(compiledServiceUrl()); !problem.isEmpty()) {
        std::fprintf(stderr, "quillora: %s\n", qPrintable(problem));
        return 2;
    }

    AppSettings::shared();
    return 0;
}
