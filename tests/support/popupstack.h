#pragma once

#include "platform/platform.h"
#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"
#include "service/quilloraapiclient.h"
#include "testcerts.h"
#include "ui/qmlengineprovider.h"

// The popup as the application puts it together: an engine, a client of the service at url, the view model
// and the controller on the given platform.
struct PopupStack {
    QmlEngineProvider engines;
    QuilloraAPIClient client;
    QString customSystemPrompt;
    PopupViewModel model;
    PopupWindowController controller;

    PopupStack(Platform& platform, const QUrl& url)
        : client(url, "test-token", TestCerts::trustingTestCA())
        , model(client, [this] { return customSystemPrompt; })
        , controller(model, platform, engines)
    {
    }
};
