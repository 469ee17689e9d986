#include "framework/SpinEdit.h"

#include <QLineEdit>
#include <QLocale>

#include <algorithm>
#include <climits>

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    lineEdit()->setText(QStringLiteral("0"));
    QObject::connect(lineEdit(), &QLineEdit::textChanged, [this] { Change(); });
}

void TSpinEdit::SetMinValue(int value) {
    FMinValue = value;
    update();
}

void TSpinEdit::SetMaxValue(int value) {
    FMaxValue = value;
    update();
}

std::optional<long long> TSpinEdit::ParseInteger(const QString& text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    if (i >= text.size()) return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < u'0' || c > u'9') return std::nullopt;
        // Past the 32-bit range the exact number no longer matters.
        if (value <= INT_MAX) value = value * 10 + (c.unicode() - u'0');
    }
    return negative ? -value : value;
}

int TSpinEdit::Bounded(long long value) const {
    if (FMaxValue < FMinValue) return FMinValue;
    return static_cast<int>(std::clamp<long long>(value, FMinValue, FMaxValue));
}

int TSpinEdit::Value() const {
    auto parsed = ParseInteger(lineEdit()->text());
    if (!parsed) return FMinValue;
    return static_cast<int>(std::clamp<long long>(*parsed, INT_MIN, INT_MAX));
}

void TSpinEdit::SetValue(int value) {
    const QString text = QString::number(Bounded(value));
    if (lineEdit()->text() != text) lineEdit()->setText(text);
}

std::string TSpinEdit::Text() const { return lineEdit()->text().toLocal8Bit().toStdString(); }

void TSpinEdit::ApplyRange() {
    auto parsed = ParseInteger(lineEdit()->text());
    if (!parsed || *parsed < FMinValue || *parsed > FMaxValue) SetValue(Bounded(parsed.value_or(FMinValue)));
}

QValidator::State TSpinEdit::validate(QString& input, int&) const {
    const QString separator = locale().decimalPoint();
    for (QChar c : input) {
        if ((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || separator.contains(c)) continue;
        return QValidator::Invalid;
    }
    return QValidator::Acceptable;
}

void TSpinEdit::fixup(QString&) const {}

void TSpinEdit::stepBy(int steps) {
    SetValue(Bounded(static_cast<long long>(Value()) + steps));
    lineEdit()->selectAll();
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
    if (isReadOnly()) return StepNone;
    StepEnabled result = StepNone;
    const int v = Value();
    if (v < FMaxValue) result |= StepUpEnabled;
    if (v > FMinValue) result |= StepDownEnabled;
    return result;
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
    QAbstractSpinBox::focusOutEvent(event);
    ApplyRange();
}

void TSpinEdit::Change() {
    if (OnChange) OnChange(this);
}
