#include "sessions/VirtualPorts.h"

#include <algorithm>
#include <exception>
#include <map>
#include <vector>

#include <QListWidget>

#include "core/MainForm.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/VirtualPort.h"
#include "serial/PortProbe.h"
#include "sessions/GroupForms.h"
#include "sessions/GroupRouting.h"

std::array<std::int32_t, 256> PortStatus{};
const QString OwnPortPrefix = QStringLiteral("KOLVAR Virtual Serial Port");

namespace {

void ErrorBox(const QString& text, int comNumber) {
    MessageDlg(text + QString::number(comNumber) + QLatin1Char(')'), mtError, mbOK);
}

bool IsPortDevice(const TLocalMachineRegistry& registry) {
    return registry.ReadString(QStringLiteral("CLASS"))
                   .compare(QStringLiteral("PORTS"), Qt::CaseInsensitive) == 0 ||
           registry.ReadString(QStringLiteral("CLASSGUID"))
                   .compare(QStringLiteral("{4D36E978-E325-11CE-BFC1-08002BE10318}"), Qt::CaseInsensitive) ==
               0;
}

// The decimal number after "COM", 0 when there is none.
int PortNumberOf(const QString& portName) {
    int n = 0;
    for (qsizetype i = 3; i < portName.size() && portName[i].isDigit() && n <= 256; ++i)
        n = n * 10 + portName[i].digitValue();
    return n;
}

const char* StatusSuffix(std::int32_t status) {
    switch (status) {
    case psPresent:
        return " (используется)";
    case psReserved:
        return " (зарезервирован)";
    case psOtherBase:
        return " (база в другой группе)";
    default:
        return "";
    }
}

} // namespace

void InstallVirtualPortHooks() {
    ReceiverPortHooks.Create = CreateVirtualPort;
    ReceiverPortHooks.Destroy = DeleteVirtualPort;
}

namespace {

struct TOwnedPort {
    const TReceiver* Group; // the live group it serves
    std::unique_ptr<TVirtualPortAx> Port;
};

// By COM number. Never destroyed: groups still go at the program's exit, and hand their ports back.
std::map<int, TOwnedPort>& Ports() {
    static auto* const ports = new std::map<int, TOwnedPort>;
    return *ports;
}

// 0 for a number no COM port has (a group of a damaged record is destroyed too).
int ComNumberOf(const TReceiver& group) {
    return group.BaseID >= 0 && group.BaseID <= TReceiver::MaxPortBase ? group.BaseID + 1 : 0;
}

} // namespace

TVirtualPortAx* VirtualPortOf(const TReceiver& group) {
    if (group.BaseKind <= 0)
        return nullptr;
    const auto found = Ports().find(ComNumberOf(group));
    return found != Ports().end() ? found->second.Port.get() : nullptr;
}

void AdoptVirtualPort(TReceiver& group, std::unique_ptr<TVirtualPortAx> port) {
    Ports()[ComNumberOf(group)] = {&group, std::move(port)};
}

void CreateVirtualPort(TReceiver& group) {
    if (group.BaseKind <= 0 || VirtualPortOf(group))
        return;
    const int n = ComNumberOf(group);
    std::unique_ptr<TVirtualPortAx> port;
    try {
        port = std::make_unique<TVirtualPortAx>();
        port->OnRxChar = [](TVirtualPortAx* sender, int count) {
            if (MainForm)
                MainForm->VirtualPortAxRxChar(sender, count);
        };
    } catch (const std::exception&) {
        ErrorBox(QStringLiteral("Ошибка создания ActiveX компонента виртуального порта (COM"), n);
        return;
    }
    TVirtualPortAx& control = *port;
    AdoptVirtualPort(group, std::move(port)); // kept even when it cannot be made, as the port of the group
    try {
        const QString name = QStringLiteral("COM") + QString::number(n);
        if (!control.CreatePort(name) && !control.Attach(name)) {
            ErrorBox(QStringLiteral("Невозможно создать виртуальный порт (COM"), n);
            return;
        }
        control.Tag = n;
        control.SetStrictBaudrate(1);
        control.SetWiring(0x20, 0x10, 0, 0);
    } catch (const std::exception&) {
        DeleteVirtualPort(group);
        ErrorBox(QStringLiteral("Ошибка создания виртуального порта (COM"), n);
    }
}

void DeleteVirtualPort(TReceiver& group) {
    const auto found = group.BaseKind > 0 ? Ports().find(ComNumberOf(group)) : Ports().end();
    if (found != Ports().end() && found->second.Group == &group)
        Ports().erase(found);
}

void ReadVirtualPort(TVirtualPortAx* port, int count) {
    if (!port || count <= 0)
        return;
    TReceiver* group = FindReceiverByBasePort(port->Tag);
    // What the members cannot take stays in the port, and the writer waits.
    const int wanted = group ? ReceiverMembersFreeSpace(*group, count) : count;
    if (wanted <= 0)
        return;
    // One buffer for every read, kept at the largest size a read wanted (a fresh 64 KB per read cost
    // more than the routing of what it held).
    static std::vector<std::uint8_t> buffer;
    if (buffer.size() < size_t(wanted) + 1)
        buffer.resize(size_t(wanted) + 1);
    int n = 0;
    try {
        n = port->Read(buffer.data(), wanted);
    } catch (const std::exception&) {
        n = 0;
    }
    if (n > 0 && group)
        PushToReceiverMembers(*group, buffer.data(), n);
}

void DeleteChangedVirtualPorts(TGroupsDialog& dialog) {
    const auto& work = dialog.WorkReceivers;
    // A port stays for the unchanged working group of its number, which is about to be live; the
    // ports of deleted and changed groups go.
    for (auto port = Ports().begin(); port != Ports().end();) {
        const auto holder = std::find_if(work.begin(), work.end(), [&](const auto& g) {
            return !g->Changed && g->BaseKind > 0 && ComNumberOf(*g) == port->first;
        });
        if (holder != work.end()) {
            port->second.Group = holder->get();
            ++port;
        } else {
            port = Ports().erase(port);
        }
    }
    const auto changed = std::count_if(work.begin(), work.end(), [](const auto& g) { return g->Changed; });
    if (changed != 0) {
        dialog.UpdateVSPTimer.SetInterval(int(changed + 2) / 4 + 1);
        dialog.UpdateVSPTimer.SetEnabled(true);
    }
}

void BuildPortStatus(TSelectBaseForm& dialog) {
    for (std::uint32_t n = 1; n <= PortStatus.size(); ++n)
        PortStatus[n - 1] = IsPortAvailable(n) ? psPresent : psFree;
    dialog.ListBox1->clear();
    ScanRegistryPorts(dialog, QStringLiteral("SYSTEM\\CURRENTCONTROLSET\\ENUM"));
    if (GroupsDialog)
        for (const auto& g : GroupsDialog->WorkReceivers)
            if (FromCp1251(g->Name) != dialog.NameLabel->text() && g->BaseKind > 0 && g->BaseID >= 0 &&
                g->BaseID < int(PortStatus.size()))
                PortStatus[size_t(g->BaseID)] = psOtherBase;
    QStringList rows;
    for (size_t i = 0; i < PortStatus.size(); ++i)
        rows << QStringLiteral("COM") + QString::number(i + 1) +
                    QString::fromUtf8(StatusSuffix(PortStatus[i]));
    dialog.COMListBox->clear();
    dialog.COMListBox->addItems(rows);
    const bool port = dialog.BaseKind > 0 && dialog.BaseID >= 0 && dialog.BaseID < int(PortStatus.size());
    dialog.COMListBox->setCurrentRow(port ? dialog.BaseID : -1);
}

bool ScanRegistryPorts(TSelectBaseForm& dialog, const QString& root) {
    TLocalMachineRegistry registry;
    if (!registry.OpenKeyReadOnly(root))
        return false;
    for (const QString& bus : registry.GetKeyNames()) {
        const QString busPath = root + QLatin1Char('\\') + bus;
        if (!registry.OpenKeyReadOnly(busPath))
            return false;
        for (const QString& device : registry.GetKeyNames()) {
            const QString devicePath = busPath + QLatin1Char('\\') + device;
            if (!registry.OpenKeyReadOnly(devicePath))
                return false;
            for (const QString& instance : registry.GetKeyNames()) {
                const QString instancePath = devicePath + QLatin1Char('\\') + instance;
                if (!registry.OpenKeyReadOnly(instancePath))
                    return false;
                if (!IsPortDevice(registry))
                    continue;
                const bool named = registry.ValueExists(QStringLiteral("FRIENDLYNAME"));
                const QString friendly = registry.ReadString(QStringLiteral("FRIENDLYNAME"));
                if (!registry.OpenKeyReadOnly(instancePath + QStringLiteral("\\DEVICE PARAMETERS")) ||
                    !registry.ValueExists(QStringLiteral("PORTNAME")))
                    continue;
                const QString portName = registry.ReadString(QStringLiteral("PORTNAME"));
                if (!portName.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive))
                    continue;
                dialog.ListBox1->addItem(named ? friendly : portName);
                const int n = PortNumberOf(portName);
                if (n < 1 || n > int(PortStatus.size()))
                    continue;
                std::int32_t& status = PortStatus[size_t(n - 1)];
                if (status == psFree)
                    status = psReserved;
                if (named &&
                    friendly.left(OwnPortPrefix.size()).compare(OwnPortPrefix, Qt::CaseInsensitive) == 0)
                    status = psFree;
            }
        }
    }
    return true;
}
