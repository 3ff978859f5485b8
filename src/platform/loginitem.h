#pragma once

// Whether Quillora starts when the user logs in (an XDG autostart entry on Linux desktops).
class LoginItem {
public:
    // The values match the order the settings switch reads: on for Enabled and RequiresApproval.
    enum class Status { NotRegistered = 0, Enabled = 1, RequiresApproval = 2, NotFound = 3 };

    virtual ~LoginItem() = default;
    virtual Status status() const = 0;
    // False when the entry could not be written or removed; nothing is reported to the user.
    virtual bool registerItem() = 0;
    virtual bool unregisterItem() = 0;
};
