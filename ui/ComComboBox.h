#pragma once
// A drop-down list tied to one setting of a serial port: it lists the setting's possible values
// (the port names, or the text forms of a setting type) and can select the port's current value.

#include <QComboBox>
#include <QString>
#include <QStringList>
#include <memory>

#include "link/ComPort.h"

class TComSelect;

class TComComboBox : public QComboBox {
    Q_OBJECT
public:
    // The setting a list shows.
    enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };
    Q_ENUM(TComProperty)

    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    // The bound port (none: nullptr). Binding a port the list was not bound to selects its value.
    TCustomComPort* ComPort() const;
    void SetComPort(TCustomComPort* port);

    // Setting it fills the items anew (for cpPort from the system's port list under the roots, which
    // can raise "Registry error").
    TComProperty ComProperty() const;
    void SetComProperty(TComProperty value, const TSystemRoots& roots = {});
    // The form description sets the property through this name.
    void setComProperty(TComProperty value) { SetComProperty(value); }

    // When on, an item the user selects is written to the bound port at once.
    bool AutoApply() const;
    void SetAutoApply(bool value);

    // The selected item's text, or empty when nothing is selected.
    QString Text() const;
    // Selects the first item equal to the text regardless of letter case; no such item: unchanged.
    void SetText(const QString& text);

    // Selects the item matching the bound port's current value, or nothing when none matches.
    void SyncWithPort();

private:
    void UserSelected(int index);
    std::unique_ptr<TComSelect> select_;
};

using TComProperty = TComComboBox::TComProperty;

// The list's companion: the binding, the setting and the flag, and the setting's texts.
class TComSelect {
public:
    TCustomComPort* ComPort = nullptr;
    TComProperty ComProperty = TComComboBox::cpNone;
    bool AutoApply = false;

    // The items for a setting, in order (cpPort: the sorted port list under the roots).
    static QStringList Items(TComProperty property, const TSystemRoots& roots = {});
    // The bound setting's current value as text; empty for cpNone or without a port.
    QString PortValueText() const;
    // Writes an item's text to the bound setting (the port name, or the value converted from text).
    void ApplyText(const QString& text) const;
};
