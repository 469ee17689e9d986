// An integer field with up and down arrows.
//
// The text may hold only digits, the two sign characters and the locale's
// decimal separator; other typed or pasted characters are refused. The value
// is the text read as a decimal integer (a number too large for 32 bits reads
// as the nearest 32-bit integer), or MinValue when the text is no integer.
// A value the program sets is brought into [MinValue, MaxValue] first; a
// number the user types may lie outside the range while it is being edited and
// is brought into range when the field loses the keyboard focus (ApplyRange).
// The arrows, the Up and Down keys and the wheel step by 1 within the range.
// Every change of the text, by the user or by the program, raises OnChange;
// setting the text it already has raises nothing.
#pragma once

#include "framework/Classes.h"

#include <QAbstractSpinBox>

#include <optional>
#include <string>

class TSpinEdit : public QAbstractSpinBox, public TComponent {
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    int MinValue() const { return FMinValue; }
    void SetMinValue(int value);
    int MaxValue() const { return FMaxValue; }
    void SetMaxValue(int value);

    int Value() const;
    void SetValue(int value);

    std::string Text() const;

    // Brings a number typed outside the range, or text that is no number, to
    // the bounded value. Runs when the field loses the focus; a form calls it
    // when it takes the value on another way (Enter pressing a button).
    void ApplyRange();

    TNotifyEvent OnChange;

    // The decimal integer in `text`: an optional sign, then digits only.
    static std::optional<long long> ParseInteger(const QString& text);

    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    void stepBy(int steps) override;

protected:
    virtual void Change();
    StepEnabled stepEnabled() const override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int Bounded(long long value) const;

    int FMinValue = 0;
    int FMaxValue = 100;
};
