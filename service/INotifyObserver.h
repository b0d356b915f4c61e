// Hears of each notification a tray application took, where the delivery is made.
#pragma once

#include <windows.h>

class INotifyObserver {
public:
    // Called on the delivering thread right after dwCode reached an application.
    virtual void OnDelivered(DWORD dwCode) = 0;

protected:
    ~INotifyObserver() {}
};
