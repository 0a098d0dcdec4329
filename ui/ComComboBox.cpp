#include "ui/ComComboBox.h"

#include <string>
#include <vector>

#include "link/ComPort.h"

namespace {

template <typename E, typename F> QStringList TextForms(E last, F toText) {
    QStringList items;
    for (int i = 0; i <= static_cast<int>(last); ++i) {
        items << QString::fromStdString(toText(static_cast<E>(i)));
    }
    return items;
}

} // namespace

QStringList TComSelect::Items(TComProperty property, const TSystemRoots& roots) {
    switch (property) {
    case TComComboBox::cpNone:
        return {};
    case TComComboBox::cpPort: {
        std::vector<std::string> names;
        TCustomComPort::ListComPorts(names, roots);
        QStringList items;
        for (const auto& name : names) {
            items << QString::fromStdString(name);
        }
        return items;
    }
    case TComComboBox::cpBaudRate:
        return TextForms(br256000, BaudRateToStr);
    case TComComboBox::cpDataBits:
        return TextForms(dbEight, DataBitsToStr);
    case TComComboBox::cpStopBits:
        return TextForms(sbTwoStopBits, StopBitsToStr);
    case TComComboBox::cpParity:
        return TextForms(prSpace, ParityToStr);
    case TComComboBox::cpFlowControl:
        return TextForms(fcCustom, FlowControlToStr);
    }
    return {};
}

QString TComSelect::PortValueText() const {
    if (!ComPort) {
        return {};
    }
    switch (ComProperty) {
    case TComComboBox::cpNone:
        return {};
    case TComComboBox::cpPort:
        return QString::fromStdString(ComPort->Port());
    case TComComboBox::cpBaudRate:
        return QString::fromStdString(BaudRateToStr(ComPort->BaudRate()));
    case TComComboBox::cpDataBits:
        return QString::fromStdString(DataBitsToStr(ComPort->DataBits()));
    case TComComboBox::cpStopBits:
        return QString::fromStdString(StopBitsToStr(ComPort->StopBits()));
    case TComComboBox::cpParity:
        return QString::fromStdString(ParityToStr(ComPort->Parity().Bits()));
    case TComComboBox::cpFlowControl:
        return QString::fromStdString(FlowControlToStr(ComPort->FlowControl().FlowControl()));
    }
    return {};
}

void TComSelect::ApplyText(const QString& text) const {
    if (!ComPort) {
        return;
    }
    const std::string s = text.toStdString();
    switch (ComProperty) {
    case TComComboBox::cpNone:
        break;
    case TComComboBox::cpPort:
        ComPort->SetPort(s);
        break;
    case TComComboBox::cpBaudRate:
        ComPort->SetBaudRate(StrToBaudRate(s));
        break;
    case TComComboBox::cpDataBits:
        ComPort->SetDataBits(StrToDataBits(s));
        break;
    case TComComboBox::cpStopBits:
        ComPort->SetStopBits(StrToStopBits(s));
        break;
    case TComComboBox::cpParity:
        ComPort->Parity().SetBits(StrToParity(s));
        break;
    case TComComboBox::cpFlowControl:
        ComPort->FlowControl().SetFlowControl(StrToFlowControl(s));
        break;
    }
}

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent), select_(std::make_unique<TComSelect>()) {
    // A pure drop-down list: the text can only be chosen from the items.
    setEditable(false);
    connect(this, &QComboBox::activated, this, &TComComboBox::UserSelected);
}

TComComboBox::~TComComboBox() = default;

TCustomComPort* TComComboBox::ComPort() const {
    return select_->ComPort;
}

void TComComboBox::SetComPort(TCustomComPort* port) {
    if (port == select_->ComPort) {
        return;
    }
    select_->ComPort = port;
    SyncWithPort();
}

TComProperty TComComboBox::ComProperty() const {
    return select_->ComProperty;
}

void TComComboBox::SetComProperty(TComProperty value, const TSystemRoots& roots) {
    // The items are read first, so a list that cannot be read leaves the control as it was.
    const QStringList items = TComSelect::Items(value, roots);
    select_->ComProperty = value;
    clear();
    addItems(items);
}

bool TComComboBox::AutoApply() const {
    return select_->AutoApply;
}

void TComComboBox::SetAutoApply(bool value) {
    select_->AutoApply = value;
}

QString TComComboBox::Text() const {
    return currentIndex() < 0 ? QString() : itemText(currentIndex());
}

void TComComboBox::SetText(const QString& text) {
    for (int i = 0; i < count(); ++i) {
        if (itemText(i).compare(text, Qt::CaseInsensitive) == 0) {
            setCurrentIndex(i);
            return;
        }
    }
}

void TComComboBox::SyncWithPort() {
    if (!select_->ComPort) {
        return;
    }
    const QString value = select_->PortValueText();
    int found = -1;
    if (select_->ComProperty != cpNone) {
        for (int i = 0; i < count() && found < 0; ++i) {
            if (itemText(i).compare(value, Qt::CaseInsensitive) == 0) {
                found = i;
            }
        }
    }
    setCurrentIndex(found);
}

void TComComboBox::UserSelected(int index) {
    if (select_->AutoApply && index >= 0) {
        select_->ApplyText(itemText(index));
    }
}
