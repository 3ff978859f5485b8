// Renders the popup card in each of its states and a notice to PNG files, in the light and the dark palette,
// so the views can be looked at without a desktop. Usage: popup_snapshots [output directory]
#include "fakeplatform.h"
#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"
#include "service/quilloraapiclient.h"
#include "settings/appsettings.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTest>

#include <cstdio>

namespace {

QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2d));
    palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
    palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3c));
    palette.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

QPalette lightPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0xf2, 0xf2, 0xf2));
    palette.setColor(QPalette::WindowText, QColor(0x1d, 0x1d, 0x1f));
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, QColor(0x1d, 0x1d, 0x1f));
    palette.setColor(QPalette::Button, QColor(0xe8, 0xe8, 0xe8));
    palette.setColor(QPalette::ButtonText, QColor(0x1d, 0x1d, 0x1f));
    palette.setColor(QPalette::Highlight, QColor(0x1a, 0x73, 0xe8));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

bool save(PopupWindowController& controller, const QDir& dir, const QString& name)
{
    QQuickWindow* panel = controller.panel();
    if (!panel)
        return false;
    if (!QTest::qWaitForWindowExposed(panel))
        return false;
    QTest::qWait(450); // the fade-in of the answer takes 0.25 s
    const QString file = dir.filePath(name + QStringLiteral(".png"));
    const bool saved = panel->grabWindow().save(file);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
    return saved;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QDir dir(app.arguments().value(1, QStringLiteral("popup-snapshots")));
    QDir().mkpath(dir.path());
    FakePlatform::install();

    StubService stub;
    PopupWindowController controller(new QuilloraAPIClient(stub.url(), "snapshots", TestCerts::trustingTestCA()));
    PopupViewModel* model = controller.viewModel();
    auto answer = [&](const QString& text) {
        stub.replyWithExplanation(text);
        model->explain(QStringLiteral("selection"), std::nullopt);
        (void)QTest::qWaitFor([&] { return !model->isLoading(); }, 10000);
    };

    const QString shortAnswer = QStringLiteral(
        "A closure is a function together with the variables it captured from the scope where it was created.");
    QString longAnswer;
    for (int i = 1; i <= 12; ++i)
        longAnswer += QStringLiteral("%1. Paragraph of a long answer that needs the scroll area; it wraps over "
                                     "several lines in the card.\n\n")
                          .arg(i);

    bool ok = true;
    for (const bool dark : { false, true }) {
        QGuiApplication::setPalette(dark ? darkPalette() : lightPalette());
        const QString suffix = dark ? QStringLiteral("-dark") : QStringLiteral("-light");
        model->setFollowUpInput({});

        stub.setReply({ 200, {}, {}, true });
        model->explain(QStringLiteral("selection"), std::nullopt);
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("loading") + suffix);

        stub.setReply({ 200, {}, {}, false }); // ends the stalled request's wait at the next reply
        answer(shortAnswer);
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("short-answer") + suffix);

        answer(longAnswer);
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("long-answer") + suffix);

        stub.setReply({ 500, "upstream model unavailable", "text/plain" });
        model->explain(QStringLiteral("selection"), std::nullopt);
        (void)QTest::qWaitFor([&] { return !model->isLoading(); }, 10000);
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("error") + suffix);

        model->prepareForDirectQuery(std::nullopt);
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("ask-mode") + suffix);

        answer(shortAnswer);
        model->setFollowUpInput(QStringLiteral("Can you show an example in C++?"));
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("follow-up-typed") + suffix);

        controller.showSimpleNotice(QStringLiteral("text.cursor"), QStringLiteral("No text selected"));
        ok &= save(controller, dir, QStringLiteral("notice") + suffix);
        controller.showSimpleNotice(QStringLiteral("exclamationmark.triangle"),
            QStringLiteral("Screenshot explanation needs X11 or the desktop's screenshot portal."));
        ok &= save(controller, dir, QStringLiteral("notice-long") + suffix);
        controller.closePopup();
    }
    return ok ? 0 : 1;
}
