#pragma once
// The About window: thanks, the maker's site and the programmer, two links. Created once,
// hidden and shown again; closing it hides it.

#include <QFont>
#include <QLabel>
#include <QWidget>
#include <string>

#include "ui/application.hpp"

class QPushButton;

namespace nira::ui {

// The maker's web address, the programmer and the programmer's e-mail address.
inline constexpr const char* kMakerWebAddress = "www.example.org";
inline constexpr const char* kProgrammerName = "NIRA-7 team";
inline constexpr const char* kProgrammerEmail = "team@example.org";

// A label that launches its target when the left mouse button goes down on it.
class TsWebLabel : public QLabel {
  public:
    explicit TsWebLabel(QWidget* parent = nullptr);

    std::string URL;
    QFont HoverFont;
    QFont NormalFont;
    int ShowMode;

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};

class TFormHelp : public QWidget, public KeyPreview {
  public:
    explicit TFormHelp(QWidget* parent = nullptr);

    // Shows it, centred the first time and where it was left afterwards, in front and active.
    void ShowAbout();

    void sButton1Click();
    void FormKeyDown(int key, Qt::KeyboardModifiers shift);
    void previewKeyDown(QKeyEvent* event) override;

  private:
    bool shownBefore_ = false;
};

}  // namespace nira::ui
