// The tabbed dialog with which an encrypting operation asks for its
// parameters. OK asks every page in order whether it accepts its input; the
// first that refuses comes to the front and the sheet stays open; when all
// accept, each page hands its results over and the sheet closes.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

class QPushButton;
class QTabWidget;

namespace dsutils::widgets {

class PromptService;

// The page command that asks a page whether it accepts its input.
inline constexpr int ID_PAGE_VALIDATE = 2034;

// One page of a sheet.
class SheetPage : public QWidget {
 public:
  explicit SheetPage(QWidget* parent = nullptr) : QWidget(parent) {}

  // A command from the sheet: ID_PAGE_VALIDATE writes into `accepted`
  // whether the page accepts (left false when it refuses); false for a
  // command the page does not know.
  bool command(int id, bool* accepted);

  // Takes the controls' values; true when the page accepts. A refusing
  // page tells the person why itself.
  virtual bool validatePage() = 0;
  // Sent only after every page accepted: the page puts its results where
  // the operation reads them.
  virtual void closePage() = 0;
  // The page's own defaults, once, when the sheet makes its tabs.
  virtual void initPage() {}
};

// A box of a page (caption "Dossar"), answered before it returns; on the
// GUI thread the windows stay served meanwhile.
int page_message(PromptService& prompts, const QString& text, unsigned flags);

// Opens the help topic of a context.
using HelpFunction = std::function<void(int context)>;
// The library's help: HelpService over the desktop's opener.
HelpFunction library_help();

class COperationSheet : public QDialog {
 public:
  explicit COperationSheet(QWidget* parent = nullptr, HelpFunction help = library_help());

  void setTitle(const QString& title) { title_ = title; }
  const QString& title() const { return title_; }
  void setHelpContext(int context) { helpContext_ = context; }
  int helpContext() const { return helpContext_; }

  // Before the sheet is shown; the sheet holds the page as a child window.
  bool AddPage(SheetPage* page, const QString& tabTitle, int templateId);
  // Makes the tabs (called once before the sheet is first shown; open() and
  // exec() call it).
  void OnInitDialog();

  void SelectPage(int tab);
  int currentPage() const { return current_; }
  int pageCount() const { return static_cast<int>(pages_.size()); }
  SheetPage* page(int index) const;

  QTabWidget* tabs() const { return tabs_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* helpButton() const { return help_; }

  // The validation pass of OK and Enter.
  void OnOK();
  void OnHelp();      // the help button: only for a context other than 0
  void OnHelpInfo();  // F1: always

  void open() override;
  int exec() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Record {
    SheetPage* page = nullptr;
    QString tabTitle;
    int templateId = 0;
    int tabIndex = -1;
  };

  HelpFunction helpFunction_;
  QString title_;
  int helpContext_ = 0;
  std::vector<Record> pages_;
  int current_ = -1;
  bool initialised_ = false;
  QTabWidget* tabs_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* help_;
};

}  // namespace dsutils::widgets
