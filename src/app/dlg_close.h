// The Close question: hide the console to the tray, or shut the services down and exit.
#pragma once

#include <QDialog>

class CDlgClose final : public QDialog {
    Q_OBJECT

  public:
    enum Choice { kExit = 0, kHide = 1, kNone = -1 };

    // hasTray: whether Hide puts the window into the tray (else it minimises it).
    explicit CDlgClose(bool hasTray, QWidget* parent = nullptr);
    // kHide or kExit once the matching button ended the dialog; kNone otherwise.
    int ChoiceMade() const { return choice_; }

    static QString QuestionText();
    static QString HideText(bool hasTray);
    static QString ExitText();

  private:
    int choice_ = kNone;
};
