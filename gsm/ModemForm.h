// The GSM modem window: the GSM modem on a COM port or a telephony line, its AT command cycle and the
// SMS it receives and sends; and the single-instance test of the program.
//
// The form is minimal for now: the operations that the main window calls exist, but no GSM modem is
// connected (ModemState stays 0) and no SMS request is formed. IsAlreadyRunning is complete.
#pragma once

#include <cstdint>
#include <memory>

#include <QString>

#include "platform/Forms.h"
#include "platform/Shell.h"

class TObjectStates;

// 0 closed, 1 connecting, 2 ready, 3 disconnecting.
extern std::int32_t ModemState;
// An SMS waits for the AT cycle to send it.
extern bool SmsSendPending;

// The single-instance mutex, taken by the first IsAlreadyRunning and held for the life of the process.
// Tests reset it to start another "instance".
extern std::unique_ptr<TNamedMutex> MutexHandle;

// True when another process (or another holder) has the named mutex. A second call in the same process
// returns false.
bool IsAlreadyRunning(const QString& name);

class TModemForm : public TForm {
public:
    explicit TModemForm(QWidget* owner = nullptr);

    // Starts connecting the GSM modem of the settings; false when its port could not be opened.
    virtual bool Connect();
    // Stops the AT cycle and closes the port.
    virtual void Disconnect();
    // Queues a hardware-information request SMS: 0 queued, 1 the object has no phone number, 2 the
    // SMS could not be formed.
    virtual int QueryHwInfo(TObjectStates* object);
};

extern TModemForm* ModemForm;
