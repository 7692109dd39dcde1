#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLocale>
#include <QScreen>
#include <QStatusTipEvent>

#include "program/program.h"
#include "ui/fonts.h"
#include "ui/repaint_throttle.h"
#include "ui/status_panel.h"
#include "ui/step_timer.h"
#include "ui/support/help_viewer.h"
#include "ui/support/picture.h"
#include "ui/table_actions.h"

namespace ui {

namespace {

constexpr int kPanel1Height = 57;
constexpr int kStatusHeight = 19;
constexpr int kPanel3Height = 17;
// The table's width as designed, until the housekeeping tick fits it to the
// window.
constexpr int kGridDesignWidth = 201;

struct ButtonDesign {
  int left;
  int tabOrder;
  const char* hint;
  const char* picture;
};

// BitBtn1 … BitBtn10.
constexpr ButtonDesign kButtons[10] = {
    {128, 0, "Старт (включение порта) / Пауза", ":/start.bmp"},
    {176, 1, "Стоп (отключение порта)", ":/stop.bmp"},
    {224, 7, "Настройка входов", ":/inputs.bmp"},
    {416, 2, "Очистить таблицу", ":/clear.bmp"},
    {465, 5, "Справка", ":/help.bmp"},
    {561, 6, "Выход", ":/exit.bmp"},
    {272, 8, "Вход 1 - ручное управление ", ":/input1.bmp"},
    {320, 9, "Вход 2 - ручное управление ", ":/input2.bmp"},
    {368, 10, "Вход 3 - ручное управление ", ":/input3.bmp"},
    {514, 11, "Об авторах", ":/about.bmp"},
};

// Distance from the tool panel's right edge to the right side of the buttons
// that follow it (BitBtn5, BitBtn10, BitBtn6).
constexpr std::pair<int, int> kRightAnchored[] = {{5, 103}, {10, 54}, {6, 7}};

void setHint(QWidget* w, const QString& hint) {
  w->setToolTip(hint);
  w->setStatusTip(hint);
  // A screen reader names the control by its hint (the picture buttons have
  // no text).
  w->setAccessibleName(hint.trimmed());
}

QString fromStd(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

TForm1::TForm1(program::Program& program, ErrorDisplay* errors, QWidget* parent)
    : QWidget(parent), program_(program), errors_(errors) {
  if (!errors_) {
    ownErrors_ = std::make_unique<ErrorDisplay>(this);
    errors_ = ownErrors_.get();
  }
  setObjectName("Form1");
  setWindowTitle("Rilvet-48 программа управления драйвером hc595");
  setWindowIcon(QIcon(transparentPicture(":/app_icon.bmp")));
  setFont(msSansSerif(11, true));
  setAutoFillBackground(true);
  setMinimumSize(kClientWidth, kClientHeight);
  setMaximumHeight(kClientHeight);
  resize(kClientWidth, kClientHeight);
  move(225, 55);

  buildToolPanel();
  buildChannelArea();
  buildStatusBar();

  Timer1 = new StepTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(100);
  connect(Timer1, &StepTimer::timeout, this, [this] {
    if (closing_) return;
    program_.Posilka();
    // A tick that took long (its frame sent here, on a port without the
    // output thread) is shown now, not after the next one.
    throttle_->paintIfDue();
  });
  Timer2 = new QTimer(this);
  Timer2->setObjectName("Timer2");
  Timer2->setInterval(100);
  connect(Timer2, &QTimer::timeout, this, [this] { program_.Narahiv(); });

  // The step timer may tick every millisecond: the window is painted at
  // most at a screen's rate.
  throttle_ = new RepaintThrottle(this, kRepaintPeriodMs);

  program_.form().setDecimalSeparator(QLocale::system().decimalPoint().toStdString());
  program_.setObserver(this);
  layoutBands();

  create();
  // Timer2 is enabled as designed; its ticks come from the event loop, after
  // every window exists.
  Timer2->start();
}

TForm1::~TForm1() {
  program_.setObserver(nullptr);
}

void TForm1::buildToolPanel() {
  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(1);

  auto caption = [this](const char* name, const char* text, int x, int y) {
    auto* label = new QLabel(text, Panel1);
    label->setObjectName(name);
    label->setFont(msSansSerif(11));
    label->adjustSize();
    label->move(x, y);
    return label;
  };
  Label50 = caption("Label50", "Скорость", 8, 6);
  Label51 = caption("Label51", "милисек.", 11, 17);
  Label52 = caption("Label52", "Порт", 32, 33);

  Edit1 = new QLineEdit(fromStd(program_.form().edit1Text()), Panel1);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(64, 8, 57, 21);
  setHint(Edit1, "Скорость перебора столбцов");
  connect(Edit1, &QLineEdit::textChanged, this,
          [this](const QString& text) { program_.form().setEdit1Text(text.toStdString()); });

  ComboBox1 = new PortBox(Panel1);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  // A typed name stays as typed: no completion to the first listed port.
  ComboBox1->setCompleter(nullptr);
  ComboBox1->setGeometry(64, 28, 57, 21);
  ComboBox1->setEditText(fromStd(program_.form().comboText()));
  setHint(ComboBox1, "Найденные COM-порты");
  connect(ComboBox1, &QComboBox::currentTextChanged, this,
          [this](const QString& text) { program_.form().setComboText(text.toStdString()); });

  // The captions label their boxes for a screen reader.
  Label50->setBuddy(Edit1);
  Label51->setBuddy(Edit1);
  Label52->setBuddy(ComboBox1);

  // Start, stop and exit may open or close the virtual board's port.
  const std::function<void()> handlers[10] = {
      [this] {
        program_.BitBtn1Click();
        syncBoardWindow();
      },
      [this] {
        // The stop shows at once; the port closes once its all-off frame is out.
        program_.BitBtn2Click();
        syncBoardWindow();
      },
      [this] { BitBtn3Click(); },
      [this] { BitBtn4Click(); },
      [this] { BitBtn5Click(); },
      [this] {
        beginClose();
        program_.BitBtn6Click();
        syncBoardWindow();
        close();
      },
      [this] { program_.BitBtn7Click(); },
      [this] { program_.BitBtn8Click(); },
      [this] { program_.BitBtn9Click(); },
      [this] { BitBtn10Click(); },
  };
  for (int i = 0; i < 10; ++i) {
    auto* button = new QPushButton(Panel1);
    button->setObjectName(QString("BitBtn%1").arg(i + 1));
    button->setGeometry(kButtons[i].left, 8, 41, 41);
    button->setIcon(QIcon(transparentPicture(kButtons[i].picture)));
    button->setIconSize(QSize(32, 32));
    setHint(button, kButtons[i].hint);
    connect(button, &QPushButton::clicked, this, handlers[i]);
    bitBtns[i] = button;
  }

  // Tab order as designed.
  std::array<QWidget*, 12> order{};
  for (int i = 0; i < 10; ++i) order[kButtons[i].tabOrder] = bitBtns[i];
  order[3] = ComboBox1;
  order[4] = Edit1;
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void TForm1::buildChannelArea() {
  Panel2 = new QFrame(this);
  Panel2->setObjectName("Panel2");
  Panel2->setFrameStyle(QFrame::Box | QFrame::Plain);
  Panel2->setLineWidth(1);

  for (int n = 1; n <= table::kChannels; ++n) {
    auto* label = new Indicator(n, Panel2);
    label->move(1 + 8, 1 + 25 + 16 * (n - 1));
    indicators[n - 1] = label;
  }

  StringGrid1 = new StringGridView(program_, Panel2);
  StringGrid1->setObjectName("StringGrid1");
  StringGrid1->setGeometry(1 + 32, 1 + 9, kGridDesignWidth, 800);
  setHint(StringGrid1, "Таблица данных");
  StringGrid1->onClick = [this] { program_.StringGrid1Click(); };
  StringGrid1->onKeyPress = [this](char key) { return program_.StringGrid1KeyPress(key); };
  tableActions = new TableActions(StringGrid1, program_, this);

  Panel3 = new QFrame(Panel2);
  Panel3->setObjectName("Panel3");
  Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel3->setLineWidth(1);
  ProgressBar1 = new QProgressBar(Panel3);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setRange(0, sequencer::kProgressMax);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setAccessibleName("Загрузка данных из файла");
}

void TForm1::buildStatusBar() {
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  const int widths[3] = {70, 200, 0};
  for (int i = 0; i < 3; ++i) {
    auto* panel = new StatusPanel(StatusBar1);
    panel->setObjectName(QString("StatusPanel%1").arg(i));
    panel->setFont(msSansSerif(11, true));
    if (widths[i] > 0) {
      panel->setFixedWidth(widths[i]);
      StatusBar1->addWidget(panel, 0);
    } else {
      StatusBar1->addWidget(panel, 1);
    }
    statusPanels[i] = panel;
  }
}

void TForm1::layoutBands() {
  const int w = width();
  const int h = height();
  Panel1->setGeometry(0, 0, w, kPanel1Height);
  StatusBar1->setGeometry(0, h - kStatusHeight, w, kStatusHeight);
  Panel2->setGeometry(0, kPanel1Height, w, h - kPanel1Height - kStatusHeight);
  const int inner = Panel2->width() - 2;
  Panel3->setGeometry(1, Panel2->height() - 1 - kPanel3Height, inner, kPanel3Height);
  ProgressBar1->setGeometry(Panel3->contentsRect());
  for (const auto& [n, distance] : kRightAnchored) BitBtn(n)->move(w - distance - 41, 8);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutBands();
  // The table follows the window's outer width, as the housekeeping tick
  // reads it.
  program_.form().setWindowWidth(frameGeometry().width());
  refitToFrame();
}

void TForm1::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  // A window manager tells the frame's size when it puts its frame round the
  // window, which moves the client area.
  refitToFrame();
}

void TForm1::fitToDesktop() {
  fittedFrame_ = frameWidth();
  fittedWidth_ = std::max(kClientWidth, desktopWidth_ - fittedFrame_);
  resize(fittedWidth_, kClientHeight);
  program_.form().setWindowWidth(frameGeometry().width());
}

void TForm1::refitToFrame() {
  if (fittedWidth_ == width() && frameWidth() != fittedFrame_) fitToDesktop();
}

void TForm1::setForms(QWidget* form2, QWidget* form3, QWidget* form4) {
  form2_ = form2;
  form3_ = form3;
  form4_ = form4;
}

void TForm1::setBoardWindow(QWidget* board) {
  board_ = board;
  syncBoardWindow();
}

// ---------------------------------------------------------------- start-up

void TForm1::create() {
  // Top-left corner, as wide as the whole desktop (all screens together).
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desktop = screen->virtualGeometry();
    move(desktop.left(), desktop.top());
    desktopWidth_ = desktop.width();
    fitToDesktop();
  }
  // A hidden window gets its resize event only when shown; the bands and the
  // table's width are wanted now.
  layoutBands();
  program_.form().setWindowWidth(frameGeometry().width());
  program_.FormCreate();
  syncComboBox();
  Edit1->setText(fromStd(program_.form().edit1Text()));
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refitToFrame();
  if (shown_) return;
  shown_ = true;
  // FormShow: every hint of the program goes to status panel 2.
  qApp->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    Podskazka(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::Podskazka(const QString& hint) {
  statusPanels[2]->setText(hint);
}

// ---------------------------------------------------------------- timers

void TForm1::deliverFrames() {
  program_.deliverFrames();
  throttle_->paintIfDue();
}

// ---------------------------------------------------------------- buttons

void TForm1::BitBtn3Click() {
  if (!form2_) return;
  if (form2_->isVisible()) {
    form2_->hide();
  } else {
    form2_->show();
  }
}

void TForm1::BitBtn4Click() {
  if (!form3_) return;
  form3_->show();
  form3_->raise();
  form3_->activateWindow();
}

void TForm1::BitBtn5Click() {
  showHelp(this, "Rilvet.hlp", kHelpContext, 0);
}

void TForm1::BitBtn10Click() {
  if (!form4_) return;
  form4_->show();
  form4_->raise();
  form4_->activateWindow();
}

void TForm1::beginClose() {
  // From here on no step tick runs, and no box opens (its event loop would
  // run the timers) until the port is closed.
  closing_ = true;
  Timer1->stop();
  errors_->hold();
}

std::vector<std::string> TForm1::closeWithoutDisplay() {
  if (closed_) return {};
  closed_ = true;
  closing_ = true;
  errors_->hold();
  program_.FormClose();
  return errors_->takeHeld();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    beginClose();
    program_.FormClose();
    syncBoardWindow();
    qApp->removeEventFilter(this);
    errors_->showHeldAndWait();
  }
  event->accept();
  // The main window's close ends the program, whatever else is open.
  for (QWidget* other : {form2_, form3_, form4_, board_}) {
    if (other) other->hide();
  }
  emit closed();
}

// ---------------------------------------------------------------- state

void TForm1::syncBoardWindow() {
  if (!board_) return;
  const auto& port = program_.player().SerialPort1();
  const bool virtualOpen = port.IsOpen() && port.Port() == sys::kVirtualPort;
  if (virtualOpen && !board_->isVisible()) {
    board_->show();
  } else if (!virtualOpen && board_->isVisible()) {
    board_->close();
  }
}

void TForm1::syncTimer1() {
  const auto& m = program_.form();
  if (Timer1->interval() != m.timer1Interval()) Timer1->setInterval(m.timer1Interval());
  if (m.timer1Enabled() && !Timer1->isActive() && !closing_) Timer1->start();
  if (!m.timer1Enabled() && Timer1->isActive()) Timer1->stop();
}

void TForm1::syncComboBox() {
  const auto& m = program_.form();
  QStringList items;
  for (const auto& item : m.comboItems()) items << fromStd(item);
  QStringList current;
  for (int i = 0; i < ComboBox1->count(); ++i) current << ComboBox1->itemText(i);
  if (items != current) {
    const QSignalBlocker block(ComboBox1);
    ComboBox1->clear();
    ComboBox1->addItems(items);
  }
  if (ComboBox1->currentText() != fromStd(m.comboText())) {
    const QSignalBlocker block(ComboBox1);
    const int index = ComboBox1->findText(fromStd(m.comboText()));
    if (index >= 0) ComboBox1->setCurrentIndex(index);
    ComboBox1->setEditText(fromStd(m.comboText()));
  }
  ComboBox1->showStart();
  ComboBox1->setEnabled(m.comboEnabled());
}

void TForm1::changed(sequencer::Change what, int index) {
  using sequencer::Change;
  auto& m = program_.form();
  switch (what) {
    case Change::Indicator: indicators[index - 1]->setOn(m.indicatorOn()[index - 1]); break;
    case Change::Status: statusPanels[index]->setText(fromStd(m.statusText()[index])); break;
    case Change::FixedColor: StringGrid1->headerColorChanged(); break;
    case Change::Timer1: syncTimer1(); break;
    case Change::Edit1:
      if (Edit1->text() != fromStd(m.edit1Text())) Edit1->setText(fromStd(m.edit1Text()));
      break;
    case Change::ComboBox:
      syncComboBox();
      // The port has opened or closed (a stop closes it after its frame).
      syncBoardWindow();
      break;
    case Change::Columns: StringGrid1->columnsChanged(); break;
    case Change::Cells: StringGrid1->cellsChanged(index); break;
    case Change::Marker: StringGrid1->markerChanged(index); break;
    case Change::CurrentCell: StringGrid1->currentCellChanged(); break;
    case Change::Progress:
      ProgressBar1->setValue(m.progressPosition());
      Panel3->setVisible(m.panel3Visible());
      break;
    case Change::GridWidth:
      if (StringGrid1->width() != m.gridWidth()) {
        StringGrid1->resize(m.gridWidth(), StringGrid1->height());
      }
      break;
  }
}

}  // namespace ui
