#pragma once

#include <QCoroTask>
#include <QMap>
#include <QString>

// Keys that the desktop itself binds to Quillora's command lines, set up with the user's consent on a desktop
// that gives programs no global keys of their own but lets the user bind keys to commands (GNOME before 48).
// Every call answers on the main thread without blocking it.
class DesktopShortcuts {
public:
    struct Outcome {
        bool succeeded = false; // the keys are as asked (some may be held by something else: see message)
        QString message; // one line for the user; empty when there is nothing to say
    };

    virtual ~DesktopShortcuts() = default;

    // Whether this session is one where Quillora offers to set the keys up (asked once, then remembered).
    virtual QCoro::Task<bool> isOffered() = 0;
    // Whether any of Quillora's keys is set up now.
    virtual QCoro::Task<bool> areSetUp() = 0;
    // Those set up now, by command-line option ("--ask"), with their keys as people write them ("Alt+A"; empty
    // where the user took the key away).
    virtual QCoro::Task<QMap<QString, QString>> keysSetUp() = 0;
    // Sets up those of Alt+X, Alt+Z and Alt+A that are missing and free; leaves the others as they are.
    virtual QCoro::Task<Outcome> setUp() = 0;
    // Takes Quillora's keys out again, and nothing else.
    virtual QCoro::Task<Outcome> remove() = 0;
};
