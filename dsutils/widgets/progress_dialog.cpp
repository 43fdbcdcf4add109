#include "dsutils/widgets/progress_dialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>
#include <numbers>

namespace dsutils::widgets {

ProgressAnimation::ProgressAnimation(QWidget* parent) : QWidget(parent) {
  setMinimumSize(200, 48);
  timer_.setInterval(80);
  connect(&timer_, &QTimer::timeout, this, [this] {
    frame_ = (frame_ + 1) % CProgressDlg::kFrames;
    update();
  });
}

void ProgressAnimation::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF area = rect().adjusted(4, 4, -4, -4);
  const double h = area.height();
  // A sheet on the left travels towards a folder on the right and is sealed
  // on the way; the cycle repeats.
  const double t = static_cast<double>(frame_) / CProgressDlg::kFrames;
  const QRectF folder(area.right() - h * 1.1, area.top() + h * 0.2, h * 1.1, h * 0.8);
  p.setPen(QPen(QColor(120, 90, 30), 1.5));
  p.setBrush(QColor(236, 196, 92));
  p.drawRoundedRect(folder, 3, 3);
  const double sheetW = h * 0.62;
  const double x = area.left() + t * (folder.left() - area.left() - sheetW * 0.5);
  const QRectF sheet(x, area.top(), sheetW, h * 0.9);
  p.setPen(QPen(QColor(70, 70, 70), 1.2));
  p.setBrush(Qt::white);
  p.drawRect(sheet);
  p.setPen(QPen(QColor(150, 150, 150), 1));
  for (int i = 1; i <= 4; ++i) {
    const double y = sheet.top() + sheet.height() * i / 6.0;
    p.drawLine(QPointF(sheet.left() + 4, y), QPointF(sheet.right() - 4, y));
  }
  if (t > 0.4) {
    const double r = sheetW * 0.22 * std::min(1.0, (t - 0.4) * 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(190, 30, 40));
    p.drawEllipse(QPointF(sheet.center().x(), sheet.bottom() - sheetW * 0.3), r, r);
  }
  // A row of dots that runs with the clip.
  for (int i = 0; i < 5; ++i) {
    const double phase = std::fmod(t * 5 + i * 0.2, 1.0);
    p.setBrush(QColor(40, 90, 170, static_cast<int>(80 + 175 * std::sin(phase * std::numbers::pi))));
    p.drawEllipse(QPointF(area.left() + h + i * (folder.left() - area.left() - 2 * h) / 4.0, area.bottom() - 3), 2.5,
                  2.5);
  }
}

CProgressDlg::CProgressDlg(const QString& title, std::chrono::milliseconds showDelay, std::function<void()> onCancel,
                           QWidget* parent)
    : QDialog(parent), onCancel_(std::move(onCancel)) {
  setWindowTitle(title);
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  animation_ = new ProgressAnimation(this);
  layout->addWidget(animation_);
  frame_ = new QGroupBox(QStringLiteral(" Имя текущего обрабатываемого файла  "), this);
  auto* frameLayout = new QHBoxLayout(frame_);
  file_ = new QLineEdit(frame_);
  file_->setReadOnly(true);
  file_->setMinimumWidth(320);
  frameLayout->addWidget(file_);
  layout->addWidget(frame_);
  auto* row = new QHBoxLayout();
  row->addStretch(1);
  cancel_ = new QPushButton(QStringLiteral("Отмена"), this);
  cancel_->setDefault(true);
  connect(cancel_, &QPushButton::clicked, this, &CProgressDlg::onCancel);
  row->addWidget(cancel_);
  row->addStretch(1);
  layout->addLayout(row);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  animation_->start();

  showTimer_.setSingleShot(true);
  connect(&showTimer_, &QTimer::timeout, this, [this] {
    if (held_) {
      heldPending_ = true;
      return;
    }
    wasShown_ = true;
    show();
    if (onShown_) onShown_();
  });
  showTimer_.start(showDelay);

  callTimer_.setSingleShot(true);
  connect(&callTimer_, &QTimer::timeout, this, [this] {
    auto fn = std::move(call_);
    call_ = nullptr;
    if (fn) fn();
  });
}

void CProgressDlg::callAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
  call_ = std::move(fn);
  callTimer_.start(delay);
}

CProgressDlg::~CProgressDlg() = default;

void CProgressDlg::setFileName(const QString& name) {
  file_->setText(name);
  file_->setCursorPosition(0);
  if (isVisible()) repaint();
}

QString CProgressDlg::fileName() const { return file_->text(); }

void CProgressDlg::closeProgress() {
  showTimer_.stop();
  callTimer_.stop();
  call_ = nullptr;
  animation_->stop();
  held_ = heldVisible_ = heldPending_ = false;
  hide();
}

void CProgressDlg::hold(bool on) {
  if (on == held_) return;
  held_ = on;
  if (on) {
    heldVisible_ = isVisible();
    heldPending_ = false;
    hide();
    return;
  }
  if (heldVisible_) {
    show();
  } else if (heldPending_) {
    heldPending_ = false;
    showTimer_.start(0);
  }
}

void CProgressDlg::reject() { onCancel(); }

void CProgressDlg::onCancel() {
  if (!onCancel_) return;
  auto cancel = std::move(onCancel_);
  onCancel_ = nullptr;
  cancel();
}

}  // namespace dsutils::widgets
