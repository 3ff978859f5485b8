// Renders the popup card in each of its states, the notices and the accessibility prompt (waiting and granted)
// to PNG files, in the light and the dark palette, so the views can be looked at without a desktop.
// Usage: popup_snapshots [output directory]
#include "app/popuppresenter.h"
#include "fakeplatform.h"
#include "popupstack.h"
#include "onboarding/accessibilitypermissionmodel.h"
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

#include "snapshotpalette.h"

#include <cstdio>

namespace {

const QPalette lightPalette
    = snapshotPalette(QColor(0xf2f2f2), QColor(0x1d1d1f), Qt::white, QColor(0xe8e8e8), QColor(0x1a73e8));
const QPalette darkPalette
    = snapshotPalette(QColor(0x2b2b2d), QColor(0xeeeeee), QColor(0x1e1e20), QColor(0x3a3a3c), QColor(0x3d8ee6));

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
    const FakePlatform fakes = FakePlatform::make();

    StubService stub;
    PopupStack popup(*fakes, stub.url());
    PopupWindowController& controller = popup.controller;
    PopupViewModel* model = controller.viewModel();
    PopupPresenter presenter(controller, *fakes.accessibility);
    auto explainWith = [&](const StubService::Reply& reply) {
        stub.setReply(reply);
        model->explain(QStringLiteral("selection"), std::nullopt);
        (void)QTest::qWaitFor([&] { return !model->isLoading(); }, 10000);
    };
    auto answer = [&](const QString& text) { explainWith({ 200, StubService::explanationBody(text) }); };

    const QString shortAnswer = QStringLiteral(
        "A closure is a function together with the variables it captured from the scope where it was created.");
    QString longAnswer;
    for (int i = 1; i <= 12; ++i)
        longAnswer += QStringLiteral("%1. Paragraph of a long answer that needs the scroll area; it wraps over "
                                     "several lines in the card.\n\n")
                          .arg(i);

    const QString markdownAnswer = QStringLiteral(
        "## Closures\n\nA **closure** is a function with the *variables* it captured, see "
        "[the reference](https://en.cppreference.com/w/cpp/language/lambda).\n\n"
        "- captures by value: `[=]`\n- captures by reference: `[&]`\n\n"
        "```cpp\nauto add = [n](int x) { return x + n; };\n```\n\n![chart](http://127.0.0.1:9/x.png) <b>raw</b>");

    bool ok = true;
    for (const bool dark : { false, true }) {
        QGuiApplication::setPalette(dark ? darkPalette : lightPalette);
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

        answer(markdownAnswer);
        controller.showPopup(std::nullopt);
        ok &= save(controller, dir, QStringLiteral("markdown-answer") + suffix);

        explainWith({ 500, "upstream model unavailable", "text/plain" });
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

        fakes.accessibility->usable = false;
        presenter.showAccessibilityPrompt();
        ok &= save(controller, dir, QStringLiteral("accessibility-waiting") + suffix);
        // Seen on at the next poll; the prompt stays a moment before it closes itself.
        const auto prompts = controller.panel()->findChildren<AccessibilityPermissionModel*>();
        fakes.accessibility->usable = true;
        ok &= !prompts.isEmpty() && QTest::qWaitFor([&] { return prompts.constLast()->isGranted(); }, 5000)
            && save(controller, dir, QStringLiteral("accessibility-granted") + suffix);
        controller.closePopup();
    }
    return ok ? 0 : 1;
}
