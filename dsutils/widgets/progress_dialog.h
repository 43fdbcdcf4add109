// The progress window of one operation: an animation, the file being
// processed and Cancel. Made hidden; shown only when the operation is still
// running after the show delay, so short operations never show a window.
#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <functional>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace dsutils::widgets {

// A looping drawing of a sheet being sealed, drawn in code (no video file).
class ProgressAnimation : public QWidget {
 public:
  explicit ProgressAnimation(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {240, 56}; }
  int frame() const { return frame_; }
  bool running() const { return timer_.isActive(); }
  void start() { timer_.start(); }
  void stop() { timer_.stop(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  int frame_ = 0;
};

class CProgressDlg : public QDialog {
 public:
  static constexpr int kFrames = 24;
  // `onCancel` runs once on Cancel (the window's close button counts as
  // Cancel); the owner closes the dialog then.
  CProgressDlg(const QString& title, std::chrono::milliseconds showDelay, std::function<void()> onCancel,
               QWidget* parent = nullptr);
  ~CProgressDlg() override;

  void setFileName(const QString& name);
  QString fileName() const;
  // Stops the animation and the show timer and hides the window.
  void closeProgress();
  // Calls `fn` once after `delay` on the GUI thread, unless the dialog is
  // closed first; a later request replaces an earlier one.
  void callAfter(std::chrono::milliseconds delay, std::function<void()> fn);
  // Whether the window was ever shown.
  bool wasShown() const { return wasShown_; }
  // While held (a prompt of the same operation is up) the window is hidden
  // and the show delay does not show it; released, it comes back as it was.
  void hold(bool on);
  // Called when the delay has passed and the window shows.
  void setOnShown(std::function<void()> onShown) { onShown_ = std::move(onShown); }

  QGroupBox* frameBox() const { return frame_; }
  QLineEdit* fileEdit() const { return file_; }
  QPushButton* cancelButton() const { return cancel_; }
  ProgressAnimation* animation() const { return animation_; }

 protected:
  void reject() override;

 private:
  void onCancel();

  ProgressAnimation* animation_;
  QGroupBox* frame_;
  QLineEdit* file_;
  QPushButton* cancel_;
  QTimer showTimer_;
  QTimer callTimer_;
  std::function<void()> call_;
  std::function<void()> onCancel_;
  std::function<void()> onShown_;
  bool wasShown_ = false;
  bool held_ = false;
  bool heldVisible_ = false;
  bool heldPending_ = false;
};

}  // namespace dsutils::widgets
