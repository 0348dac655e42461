#include "serial/TapiLog.h"

#include <cerrno>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Forms.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"

namespace {

template <class T> T* SearchFree(const void* owner) {
    for (TSioBaseComponent* owned : TSioBaseComponent::OwnedComponents(owner)) {
        if (auto* found = dynamic_cast<T*>(owned); found && !found->TapiDevice)
            return found;
        if (T* found = SearchFree<T>(owned))
            return found;
    }
    return nullptr;
}

// The framework's input/output error for an errno.
[[noreturn]] void RaiseInOutError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        throw EInOutError("Invalid filename", 3);
    case EMFILE:
    case ENFILE:
        throw EInOutError("Too many open files", 4);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        throw EInOutError("File access denied", 5);
    case ENOSPC:
    case EDQUOT:
        throw EInOutError("Disk full", 101);
    default:
        throw EInOutError("I/O error " + std::to_string(error), error);
    }
}

} // namespace

std::string TapiLogText(TTapiLogCode code, const std::string& number) {
    switch (code) {
    case ltapiNone:
        return {};
    case ltapiCallStart:
        return "call started";
    case ltapiCallFinish:
        return "call finished\r\n"; // an empty line between calls
    case ltapiDial:
        return "  dialing " + number;
    case ltapiAccept:
        return "  accepting";
    case ltapiAnswer:
        return "  answering";
    case ltapiConnect:
        return "  connected";
    case ltapiCancel:
        return "  cancelled";
    case ltapiDrop:
        return "  dropped";
    case ltapiBusy:
        return "  busy";
    case ltapiDialFail:
        return "  dial failed";
    case ltapiReceivedDigit:
        return "  received digit";
    }
    return {};
}

TSioTapiLog::TSioTapiLog(const void* owner) : TSioBaseComponent(owner) {}

TSioTapiLog::~TSioTapiLog() {
    if (TapiDevice)
        TapiDevice->SetTapiLog(nullptr);
}

void TSioTapiLog::UpdateLog(TTapiLogCode code) {
    if (TapiHistoryName.empty())
        return;
    std::FILE* file = std::fopen(TapiHistoryName.c_str(), "ab");
    if (!file)
        RaiseInOutError(errno);
    std::string line;
    if (code != ltapiNone) {
        const std::string number = TapiDevice ? TapiDevice->Number : std::string();
        line = DateTimeToStr(Now()).toStdString() + " : " + TapiLogText(code, number) + "\r\n";
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written)
        RaiseInOutError(writeError);
    if (!closed)
        RaiseInOutError(errno);
}

TSioAbstractTapiStatus::TSioAbstractTapiStatus(const void* owner) : TSioBaseComponent(owner) {}

TSioAbstractTapiStatus::~TSioAbstractTapiStatus() {
    if (TapiDevice)
        TapiDevice->SetStatusDisplay(nullptr);
}

void TSioAbstractTapiStatus::SetCaption(const QString& caption) {
    if (caption == caption_)
        return;
    caption_ = caption;
    if (display_)
        display_->SetCaption(caption);
}

void TSioAbstractTapiStatus::SetCtl3D(bool ctl3D) {
    if (ctl3D == ctl3D_)
        return;
    ctl3D_ = ctl3D;
    if (display_)
        display_->SetCtl3D(ctl3D);
}

void TSioAbstractTapiStatus::SetPosition(TPosition position) {
    if (position == position_)
        return;
    position_ = position;
    if (display_)
        display_->SetPosition(position);
}

void TSioAbstractTapiStatus::SetVisible(bool visible) {
    if (visible == visible_)
        return;
    visible_ = visible;
    if (display_)
        display_->setVisible(visible);
}

void TSioAbstractTapiStatus::GetProperties() {
    if (!display_)
        return;
    SetPosition(display_->Position());
    SetCtl3D(display_->Ctl3D());
    SetVisible(display_->isVisible());
    SetCaption(display_->Caption());
}

void TSioAbstractTapiStatus::Show() {
    if (display_)
        display_->show();
}

TSioTapiLog* SearchTapiLog(const void* owner) {
    return SearchFree<TSioTapiLog>(owner);
}

TSioAbstractTapiStatus* SearchStatusDisplay(const void* owner) {
    return SearchFree<TSioAbstractTapiStatus>(owner);
}
