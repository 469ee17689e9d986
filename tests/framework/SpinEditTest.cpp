#include "framework/SpinEdit.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <climits>

namespace {

// A shown, active window holding a port-like spin box and a second field to
// which the focus can move.
struct SpinWindow {
    SpinWindow() {
        auto* layout = new QVBoxLayout(&window);
        spin = new TSpinEdit(&window);
        other = new QLineEdit(&window);
        layout->addWidget(spin);
        layout->addWidget(other);
        spin->SetMinValue(1);
        spin->SetMaxValue(65535);
        spin->SetValue(110);
        spin->OnChange = [this](TObject* sender) {
            EXPECT_EQ(sender, spin);
            texts.push_back(spin->Text());
        };
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        spin->setFocus();
        EXPECT_TRUE(TestSupport::WaitFor([this] { return spin->hasFocus(); }));
    }
    // Closing the window takes the focus from the box, which may bring its
    // text into range: the record must not be written then.
    ~SpinWindow() { spin->OnChange = nullptr; }
    void ReplaceText(const char* typed) {
        QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(spin, Qt::Key_Delete);
        QTest::keyClicks(spin, typed);
    }
    void LeaveBox() {
        other->setFocus();
        EXPECT_TRUE(TestSupport::WaitFor([this] { return other->hasFocus(); }));
    }

    QWidget window;
    TSpinEdit* spin;
    QLineEdit* other;
    std::vector<std::string> texts;
};

}  // namespace

TEST(SpinEdit, ProgramSetValuesAreBoundedAtOnceAndRaiseChangeOnlyWhenTheTextChanges) {
    TSpinEdit spin;
    spin.SetMinValue(20);
    spin.SetMaxValue(600);
    int changes = 0;
    spin.OnChange = [&](TObject*) { ++changes; };
    spin.SetValue(60);
    EXPECT_EQ(spin.Text(), "60");
    EXPECT_EQ(changes, 1);
    spin.SetValue(60);
    EXPECT_EQ(changes, 1);
    spin.SetValue(5);
    EXPECT_EQ(spin.Text(), "20");
    EXPECT_EQ(spin.Value(), 20);
    spin.SetValue(INT_MAX);
    EXPECT_EQ(spin.Text(), "600");
    EXPECT_EQ(changes, 3);
    // A value bounded to the text already shown changes nothing.
    spin.SetValue(601);
    EXPECT_EQ(changes, 3);
}

TEST(SpinEdit, ValueIsTheTextReadAsDecimalOrTheMinimum) {
    EXPECT_EQ(TSpinEdit::ParseInteger("0110"), 110);
    EXPECT_EQ(TSpinEdit::ParseInteger("+7"), 7);
    EXPECT_EQ(TSpinEdit::ParseInteger("-7"), -7);
    EXPECT_EQ(TSpinEdit::ParseInteger(""), std::nullopt);
    EXPECT_EQ(TSpinEdit::ParseInteger("-"), std::nullopt);
    EXPECT_EQ(TSpinEdit::ParseInteger("1.5"), std::nullopt);
    EXPECT_EQ(TSpinEdit::ParseInteger("1-"), std::nullopt);

    SpinWindow w;
    w.ReplaceText("1.5");
    EXPECT_EQ(w.spin->Value(), 1);
    // Numbers past 32 bits read as the nearest 32-bit integer, so they are
    // bounded to the maximum or minimum, not read as "no number".
    w.ReplaceText("99999999999999999999");
    EXPECT_EQ(w.spin->Value(), INT_MAX);
    w.ReplaceText("-99999999999");
    EXPECT_EQ(w.spin->Value(), INT_MIN);
}

TEST(SpinEdit, TypingAcceptsOnlyDigitsSignsAndTheDecimalSeparator) {
    SpinWindow w;
    w.ReplaceText("1a2 b+-x.3");
    EXPECT_EQ(w.spin->Text(), "12+-.3");
    // Pasted text with other characters is refused whole.
    w.ReplaceText("");
    QApplication::clipboard()->setText("4x2");
    QTest::keyClick(w.spin, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(w.spin->Text(), "");
    QApplication::clipboard()->setText("42");
    QTest::keyClick(w.spin, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(w.spin->Text(), "42");
}

TEST(SpinEdit, TypedNumberStaysAsTypedUntilTheFocusLeavesThenIsBounded) {
    SpinWindow w;
    w.texts.clear();
    w.ReplaceText("70000");
    // Every character typed raised the change event with the text so far.
    ASSERT_GE(w.texts.size(), 5u);
    EXPECT_EQ(w.texts.back(), "70000");
    EXPECT_EQ(w.texts[w.texts.size() - 5], "7");
    EXPECT_EQ(w.spin->Value(), 70000);
    w.LeaveBox();
    EXPECT_EQ(w.spin->Text(), "65535");
    EXPECT_EQ(w.texts.back(), "65535");

    w.spin->setFocus();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return w.spin->hasFocus(); }));
    w.ReplaceText("-3");
    w.LeaveBox();
    EXPECT_EQ(w.spin->Text(), "1");

    // Text that is no number shows the minimum once the focus leaves.
    w.spin->setFocus();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return w.spin->hasFocus(); }));
    w.ReplaceText("");
    EXPECT_EQ(w.spin->Text(), "");
    w.LeaveBox();
    EXPECT_EQ(w.spin->Text(), "1");

    // A number within range is left as typed.
    w.spin->setFocus();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return w.spin->hasFocus(); }));
    w.ReplaceText("0995");
    w.LeaveBox();
    EXPECT_EQ(w.spin->Text(), "0995");
    EXPECT_EQ(w.spin->Value(), 995);
}

TEST(SpinEdit, ArrowKeysStepByOneWithinTheRange) {
    SpinWindow w;
    QTest::keyClick(w.spin, Qt::Key_Up);
    EXPECT_EQ(w.spin->Text(), "111");
    QTest::keyClick(w.spin, Qt::Key_Down);
    QTest::keyClick(w.spin, Qt::Key_Down);
    EXPECT_EQ(w.spin->Text(), "109");
    w.spin->SetValue(65535);
    QTest::keyClick(w.spin, Qt::Key_Up);
    EXPECT_EQ(w.spin->Text(), "65535");
    w.spin->SetValue(1);
    QTest::keyClick(w.spin, Qt::Key_Down);
    EXPECT_EQ(w.spin->Text(), "1");
    // Stepping from a typed number outside the range lands inside it.
    w.ReplaceText("90000");
    QTest::keyClick(w.spin, Qt::Key_Down);
    EXPECT_EQ(w.spin->Text(), "65535");
}
