// The GSM modem window: the GSM modem on a COM port or a telephony line, its AT command cycle and the
// SMS it receives and sends; and the single-instance test of the program.
//
// The form is minimal for now: the operations that the main window and the profile editor call exist,
// but no GSM modem is connected (ModemState stays 0) and no SMS request is formed. IsAlreadyRunning is
// complete.
#pragma once

#include <cstdint>
#include <memory>

#include <QString>

#include "platform/Forms.h"
#include "platform/Shell.h"
#include "protocol/tmgsm.h"

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
    // Request SMS to an object, queued for the next AT cycle. Each returns 0 queued, 1 the object has
    // no phone number, 2 the SMS could not be formed. One SMS waits at a time and a new request replaces
    // it, so callers ask only while ModemState is 2 and SmsSendPending is false.
    // The hardware information.
    virtual int QueryHwInfo(TObjectStates* object);
    // Writes the profile parts in mask (1 profile 1, 2 profile 2) from profile.
    virtual int SetProfile(TObjectStates* object, ObjProfile* profile, std::uint32_t mask);
    // Asks for what the request mask names; nothing calls it.
    virtual int QueryProfile(TObjectStates* object, std::uint32_t mask);
};

extern TModemForm* ModemForm;
