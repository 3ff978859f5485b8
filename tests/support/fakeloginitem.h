#pragma once

#include "platform/loginitem.h"

// A login item whose state a test sets; registerItem/unregisterItem fail while `writable` is false.
class FakeLoginItem final : public LoginItem {
public:
    Status state = Status::NotRegistered;
    bool writable = true;
    int registrations = 0;

    Status status() const override { return state; }
    bool registerItem() override { return ++registrations, set(Status::Enabled); }
    bool unregisterItem() override { return set(Status::NotRegistered); }

private:
    bool set(Status to)
    {
        state = writable ? to : state;
        return writable;
    }
};
