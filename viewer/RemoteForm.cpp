#include "viewer/RemoteForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCollator>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMimeData>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <charconv>
#include <cmath>

#include "platform/Input.h"
#include "platform/KeyCodes.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "qtui/ClipboardSync.h"
#include "qtui/QtLook.h"
#include "viewer/AdmissionText.h"
#include "viewer/RemotePaths.h"

namespace tlm {

namespace {

enum : int { TagParent = 1, TagFolder = 2, TagFile = 3 };

// The local time before each chat line, "14:05 ".
QString ChatStamp() { return QTime::currentTime().toString(QStringLiteral("HH:mm ")); }

QLabel* WhiteLabel(const QString& AText, QWidget* AParent, int AX, int AY, int AW, int AH) {
  auto* label = new QLabel(AText, AParent);
  label->setGeometry(AX, AY, AW, AH);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, Qt::white);
  label->setPalette(pal);
  return label;
}

uint8_t ButtonCode(Qt::MouseButton AButton) {
  switch (AButton) {
    case Qt::LeftButton: return MouseButtonLeft;
    case Qt::RightButton: return MouseButtonRight;
    case Qt::MiddleButton: return MouseButtonMiddle;
    default: return MouseButtonNone;
  }
}

// A row of the remote file list. Sorting keeps "[..]" on top and folders before files; names
// compare as the user's locale orders them, sizes by their bytes rather than their text.
class TListingItem final : public QTreeWidgetItem {
public:
  TListingItem(QTreeWidget* AList, const QStringList& ATexts, int ATag, int64_t ABytes)
      : QTreeWidgetItem(AList, ATexts), FBytes(ABytes) {
    setData(0, Qt::UserRole, ATag);
  }
  bool operator<(const QTreeWidgetItem& AOther) const override {
    const auto& other = static_cast<const TListingItem&>(AOther);
    const int rank = Rank(), otherRank = other.Rank();
    // The parent row and the folders stay first whichever way the column is sorted.
    const bool descending = treeWidget() && treeWidget()->header()->sortIndicatorOrder() == Qt::DescendingOrder;
    if (rank != otherRank) return descending ? rank > otherRank : rank < otherRank;
    if (treeWidget() && treeWidget()->sortColumn() == 1 && FBytes != other.FBytes) return FBytes < other.FBytes;
    static thread_local QCollator collator = [] {
      QCollator c(QLocale::system());
      c.setNumericMode(true);
      c.setCaseSensitivity(Qt::CaseInsensitive);
      return c;
    }();
    return collator.compare(text(0), other.text(0)) < 0;
  }

private:
  int Rank() const { return data(0, Qt::UserRole).toInt(); }  // parent 1, folder 2, file 3
  int64_t FBytes;
};

}  // namespace

// The paint box: takes the keyboard focus when clicked, hands paint and mouse events to its
// window, and keeps the local input method off so physical keys reach the partner.
class TRemoteCanvas final : public QWidget {
public:
  TRemoteCanvas(TfrmRemote* AOwner, QWidget* AParent) : QWidget(AParent), FOwner(AOwner) {
    setObjectName(QStringLiteral("FCanvas"));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAcceptDrops(true);
  }
  void Detach() { FOwner = nullptr; }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    if (FOwner) FOwner->CanvasPaint(painter);
  }
  void mousePressEvent(QMouseEvent* AEvent) override {
    setFocus(Qt::MouseFocusReason);
    if (FOwner) FOwner->CanvasMouseDown(AEvent);
  }
  void mouseReleaseEvent(QMouseEvent* AEvent) override {
    if (FOwner) FOwner->CanvasMouseUp(AEvent);
  }
  void mouseMoveEvent(QMouseEvent* AEvent) override {
    if (FOwner) FOwner->CanvasMouseMove(AEvent);
  }
  void mouseDoubleClickEvent(QMouseEvent* AEvent) override {
    if (FOwner) FOwner->CanvasDblClick(AEvent);
  }
  // Files dropped on the picture are sent to the partner, one after another.
  void dragEnterEvent(QDragEnterEvent* AEvent) override {
    if (FOwner && FOwner->IsConnected() && !LocalFiles(AEvent->mimeData()).isEmpty()) AEvent->acceptProposedAction();
  }
  void dropEvent(QDropEvent* AEvent) override {
    const QStringList files = LocalFiles(AEvent->mimeData());
    if (!FOwner || files.isEmpty()) return;
    AEvent->acceptProposedAction();
    FOwner->QueueUploads(files);
  }
  static QStringList LocalFiles(const QMimeData* AData) {
    QStringList files;
    if (!AData) return files;
    for (const QUrl& url : AData->urls())
      if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) files << url.toLocalFile();
    return files;
  }
  void focusOutEvent(QFocusEvent* AEvent) override {
    // Keys held now would be released where the partner never hears of it.
    if (FOwner && FOwner->FSession) FOwner->FSession->ReleaseHeld();
    QWidget::focusOutEvent(AEvent);
  }
  // Tab and Backtab belong to the partner too.
  bool focusNextPrevChild(bool) override { return false; }

private:
  TfrmRemote* FOwner;
};

TViewerDialogs TViewerDialogs::Standard() {
  TViewerDialogs d;
  const QString title = QStringLiteral("TALMIR Remote");
  d.Error = [title](QWidget* AParent, const QString& AText) { QMessageBox::critical(AParent, title, AText); };
  d.Warning = [title](QWidget* AParent, const QString& AText) { QMessageBox::warning(AParent, title, AText); };
  d.Info = [title](QWidget* AParent, const QString& AText) { QMessageBox::information(AParent, title, AText); };
  d.OpenFiles = [](QWidget* AParent) { return QFileDialog::getOpenFileNames(AParent); };
  d.Confirm = [title](QWidget* AParent, const QString& AText) {
    return QMessageBox::warning(AParent, title, AText, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  };
  return d;
}

// ---------------------------------------------------------------------------------------
// Construction and teardown

TfrmRemote::TfrmRemote(QObject* AOwner, const std::string& AServer, uint16_t APort, const std::string& ATargetID,
                       const std::string& AMyName, const std::string& AProof, int ADefaultQuality)
    : QWidget(nullptr), FDialogs(TViewerDialogs::Standard()) {
  FParams.Server = AServer;
  FParams.Port = APort;
  FParams.TargetID = ATargetID;
  FParams.MyName = AMyName;
  FParams.Proof = AProof;
  FParams.Quality = IsQualityPreset(ADefaultQuality) ? ADefaultQuality : QualityStandard;
  if (AOwner) {
    QPointer<TfrmRemote> self(this);
    if (auto* app = qobject_cast<QCoreApplication*>(AOwner))
      connect(app, &QCoreApplication::aboutToQuit, [self] { delete self.data(); });
    else
      connect(AOwner, &QObject::destroyed, [self] { delete self.data(); });
  }

  setObjectName(QStringLiteral("frmRemote"));
  setWindowTitle(QStringLiteral("TALMIR Remote - ") + Q(FormatID(ATargetID)));
  resize(1100, 720);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    // Inside the available area, at most its size, so the toolbar is never off screen.
    const QRect area = screen->availableGeometry();
    resize(qMin(width(), area.width()), qMin(height(), area.height()));
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }
  setFont(KoreanFont(font()));
  // The dark theme: every control inherits these colours.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(32, 32, 32));
  pal.setColor(QPalette::WindowText, QColor(230, 230, 230));
  pal.setColor(QPalette::Base, QColor(30, 30, 30));
  pal.setColor(QPalette::AlternateBase, QColor(37, 37, 37));
  pal.setColor(QPalette::Text, Qt::white);
  pal.setColor(QPalette::Button, QColor(58, 58, 58));
  pal.setColor(QPalette::ButtonText, Qt::white);
  pal.setColor(QPalette::Highlight, BrandColor);
  pal.setColor(QPalette::HighlightedText, Qt::white);
  setPalette(pal);
  setAutoFillBackground(true);
  // Key preview: the window sees key and wheel events before the focused control does.
  qApp->installEventFilter(this);

  const int quality = FParams.Quality;
  BuildControls();
  cbQuality->setCurrentIndex(quality);
  // The picture holds the focus from the start: the first keystroke goes to the partner.
  setFocusProxy(FCanvas);
  FCanvas->setFocus(Qt::OtherFocusReason);

  FClip = std::make_unique<TClipboardSync>();
  FClip->OnLocalCopy = [this](const QString& AText) {
    if (FSession) FSession->SendClipboard(U(AText));
  };
}

void TfrmRemote::BuildControls() {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  FToolbar = new QWidget(this);
  FToolbar->setObjectName(QStringLiteral("FToolbar"));
  FToolbar->setFixedHeight(42);
  SetBackground(FToolbar, QColor(43, 43, 43));
  WhiteLabel(QStringLiteral("화질"), FToolbar, 12, 13, 40, 16);
  cbQuality = new QComboBox(FToolbar);
  cbQuality->setObjectName(QStringLiteral("cbQuality"));
  cbQuality->setGeometry(48, 8, 96, 28);
  cbQuality->addItems(QualityPresetNames());
  cbQuality->setCurrentIndex(QualityStandard);
  cbQuality->setFocusPolicy(Qt::ClickFocus);
  WhiteLabel(QStringLiteral("모니터"), FToolbar, 158, 13, 40, 16);
  cbMonitor = new QComboBox(FToolbar);
  cbMonitor->setObjectName(QStringLiteral("cbMonitor"));
  cbMonitor->setGeometry(200, 8, 120, 28);
  cbMonitor->setFocusPolicy(Qt::ClickFocus);
  auto* btnSendFile = new QPushButton(QStringLiteral("파일 보내기"), FToolbar);
  btnSendFile->setObjectName(QStringLiteral("btnSendFile"));
  btnSendFile->setGeometry(332, 6, 96, 30);
  auto* btnFiles = new QPushButton(QStringLiteral("원격 파일"), FToolbar);
  btnFiles->setObjectName(QStringLiteral("btnFiles"));
  btnFiles->setGeometry(434, 6, 96, 30);
  auto* btnChat = new QPushButton(QStringLiteral("채팅"), FToolbar);
  btnChat->setObjectName(QStringLiteral("btnChat"));
  btnChat->setGeometry(536, 6, 96, 30);
  FAspectButton = new QPushButton(QStringLiteral("비율 유지"), FToolbar);
  FAspectButton->setObjectName(QStringLiteral("btnKeepAspect"));
  FAspectButton->setGeometry(638, 6, 96, 30);
  FActualSizeButton = new QPushButton(QStringLiteral("1:1 보기"), FToolbar);
  FActualSizeButton->setObjectName(QStringLiteral("btnActualSize"));
  FFullScreenButton = new QPushButton(QStringLiteral("전체 화면"), FToolbar);
  FFullScreenButton->setObjectName(QStringLiteral("btnFullScreen"));
  FSpecialKeys = new QPushButton(QStringLiteral("특수 키 ▾"), FToolbar);
  FSpecialKeys->setObjectName(QStringLiteral("btnSpecialKeys"));
  auto* keysMenu = new QMenu(FSpecialKeys);
  keysMenu->setObjectName(QStringLiteral("mnuSpecialKeys"));
  const std::pair<QString, ESpecialKey> specialKeys[] = {
      {QStringLiteral("Ctrl+Alt+Del"), ESpecialKey::CtrlAltDel},
      {QStringLiteral("Alt+Tab"), ESpecialKey::AltTab},
      {QStringLiteral("Windows 키"), ESpecialKey::WindowsKey},
      {QStringLiteral("Print Screen"), ESpecialKey::PrintScreen},
  };
  for (const auto& [caption, key] : specialKeys)
    connect(keysMenu->addAction(caption), &QAction::triggered, this, [this, key = key] { SendSpecialKey(key); });
  FSpecialKeys->setMenu(keysMenu);
  FDisconnect = new QPushButton(QStringLiteral("연결 끊기"), FToolbar);
  FDisconnect->setObjectName(QStringLiteral("btnDisconnect"));
  FDisconnect->setFocusPolicy(Qt::NoFocus);
  FDisconnect->setStyleSheet(QStringLiteral(
      "QPushButton { background-color: #B3261E; border-color: #E06060; font-weight: bold; }"
      "QPushButton:hover { background-color: #C8372E; }"
      "QPushButton:disabled { background-color: #4A3434; color: #9A8A8A; }"));
  // The panel buttons, "비율 유지", "1:1 보기" and "전체 화면" are toggles, and look it: lit
  // while on.
  FFilesButton = btnFiles;
  FChatButton = btnChat;
  for (QPushButton* toggle : {btnFiles, btnChat, FAspectButton, FActualSizeButton, FFullScreenButton})
    toggle->setCheckable(true);
  FAspectButton->setChecked(FKeepAspect);
  FToolbarButtons = {btnSendFile, btnFiles, btnChat, FAspectButton, FActualSizeButton, FFullScreenButton, FSpecialKeys};
  // A clicked button must not keep the keys: they belong to the picture.
  for (QPushButton* button : FToolbarButtons) button->setFocusPolicy(Qt::NoFocus);
  FToolbar->setStyleSheet(QStringLiteral(
      "QPushButton { background-color: #3A3A3A; color: white; border: 1px solid #5A5A5A; border-radius: 3px; }"
      "QPushButton:hover { background-color: #474747; }"
      "QPushButton:pressed { background-color: #2E2E2E; }"
      "QPushButton:checked { background-color: #3B5C9E; border-color: #8FB0F0; font-weight: bold; }"
      "QToolButton { color: white; border: 1px solid #5A5A5A; border-radius: 3px; padding: 0 6px; }"
      "QToolButton::menu-indicator { image: none; }"
      "QPushButton::menu-indicator { image: none; width: 0; }"));
  // Buttons that do not fit a narrow window move into this menu.
  FOverflow = new QToolButton(FToolbar);
  FOverflow->setObjectName(QStringLiteral("btnMore"));
  FOverflow->setText(QStringLiteral("더 보기 ▾"));
  FOverflow->setFocusPolicy(Qt::NoFocus);
  FOverflow->setPopupMode(QToolButton::InstantPopup);
  FOverflow->setMenu(new QMenu(FOverflow));
  for (QPushButton* button : FToolbarButtons) {
    QAction* action = FOverflow->menu()->addAction(button->text());
    if (button->menu()) {
      action->setMenu(button->menu());  // a submenu there
    } else {
      action->setCheckable(button->isCheckable());
      connect(action, &QAction::triggered, button, [button] { button->click(); });
    }
    FOverflowActions.push_back(action);
  }
  FOverflow->hide();
  FToolbar->installEventFilter(this);  // its resizes lay it out again
  cbMonitor->setSizeAdjustPolicy(QComboBox::AdjustToContents);

  FStatus = new QStatusBar(this);
  FStatus->setObjectName(QStringLiteral("FStatus"));
  FStatus->setSizeGripEnabled(false);
  FStatusLabel = new QLabel(QStringLiteral("연결 중..."), FStatus);
  FStatusLabel->setContentsMargins(6, 0, 0, 0);
  // A long text is clipped; it never widens the window.
  FStatusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  FStatus->addWidget(FStatusLabel, 1);
  FCancelUpload = new QPushButton(QStringLiteral("전송 취소"), FStatus);
  FCancelUpload->setObjectName(QStringLiteral("btnCancelUpload"));
  FCancelUpload->setFocusPolicy(Qt::NoFocus);
  FCancelUpload->hide();
  FStatus->addPermanentWidget(FCancelUpload);
  FOpenFolder = new QPushButton(QStringLiteral("폴더 열기"), FStatus);
  FOpenFolder->setObjectName(QStringLiteral("btnOpenFolder"));
  FOpenFolder->setFocusPolicy(Qt::NoFocus);
  FOpenFolder->hide();
  FStatus->addPermanentWidget(FOpenFolder);
  FSecurityLabel = new QLabel(FStatus);
  FSecurityLabel->setObjectName(QStringLiteral("lblSecurity"));
  FSecurityLabel->setContentsMargins(6, 0, 6, 0);
  FStatus->addPermanentWidget(FSecurityLabel);
  FLinkLabel = new QLabel(FStatus);
  FLinkLabel->setObjectName(QStringLiteral("FLinkLabel"));
  FLinkLabel->setContentsMargins(6, 0, 6, 0);
  FLinkLabel->setToolTip(QStringLiteral(
      "초당 화면 수, 그리고 화면 확인 응답을 보낸 뒤 다음 화면이 오기까지 걸린 가장 짧은 시간"
      "(최근 5초, 원격지의 화면 캡처 시간 포함; 화면이 멈춰 있으면 측정하지 않습니다)"));
  FLinkLabel->hide();
  FStatus->addPermanentWidget(FLinkLabel);
  FLinkTimer = new QTimer(this);
  FLinkTimer->setInterval(1000);

  FChatPanel = new QWidget(this);
  FChatPanel->setObjectName(QStringLiteral("FChatPanel"));
  FChatPanel->setFixedWidth(260);
  SetBackground(FChatPanel, QColor(37, 37, 37));
  auto* chatLayout = new QVBoxLayout(FChatPanel);
  chatLayout->setContentsMargins(0, 0, 0, 0);
  chatLayout->setSpacing(0);
  FChatLog = new QPlainTextEdit(FChatPanel);
  FChatLog->setObjectName(QStringLiteral("FChatLog"));
  FChatLog->setReadOnly(true);
  FChatLog->setFrameShape(QFrame::NoFrame);
  FChatLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FChatLog->setMaximumBlockCount(MaxChatPaneLines);
  FChatLog->setFocusPolicy(Qt::ClickFocus);
  {
    QPalette pal = FChatLog->palette();
    pal.setColor(QPalette::Base, QColor(30, 30, 30));
    pal.setColor(QPalette::Text, Qt::white);
    FChatLog->setPalette(pal);
  }
  FChatEdit = new QLineEdit(FChatPanel);
  FChatEdit->setObjectName(QStringLiteral("FChatEdit"));
  FChatEdit->setFocusPolicy(Qt::ClickFocus);
  FChatEdit->setEnabled(false);
  FChatEdit->setPlaceholderText(QStringLiteral("세션이 시작되면 채팅할 수 있습니다"));
  chatLayout->addWidget(FChatLog, 1);
  chatLayout->addWidget(FChatEdit);
  FChatPanel->hide();

  FFilePanel = new QWidget(this);
  FFilePanel->setObjectName(QStringLiteral("FFilePanel"));
  FFilePanel->setFixedHeight(200);
  auto* fileLayout = new QVBoxLayout(FFilePanel);
  fileLayout->setContentsMargins(0, 0, 0, 0);
  fileLayout->setSpacing(0);
  FFilePath = new QLabel(FFilePanel);
  FFilePath->setObjectName(QStringLiteral("FFilePath"));
  FFilePath->setContentsMargins(6, 2, 6, 2);
  FFilePath->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  FFileList = new QTreeWidget(FFilePanel);
  FFileList->setObjectName(QStringLiteral("FFileList"));
  FFileList->setColumnCount(2);
  FFileList->setHeaderLabels({QStringLiteral("이름"), QStringLiteral("크기")});
  FFileList->setColumnWidth(0, 380);
  FFileList->setColumnWidth(1, 120);
  FFileList->setRootIsDecorated(false);
  FFileList->setSelectionBehavior(QAbstractItemView::SelectRows);
  FFileList->setSelectionMode(QAbstractItemView::SingleSelection);
  FFileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FFileList->setFocusPolicy(Qt::ClickFocus);
  FFileList->setSortingEnabled(true);
  FFileList->sortByColumn(0, Qt::AscendingOrder);
  fileLayout->addWidget(FFilePath);
  fileLayout->addWidget(FFileList);
  FFilePanel->hide();

  FScroll = new QScrollArea(this);
  FScroll->setObjectName(QStringLiteral("FScroll"));
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setFocusPolicy(Qt::NoFocus);
  FScroll->setWidgetResizable(true);
  FScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FScroll->setAlignment(Qt::AlignCenter);  // a picture smaller than the area at 1:1
  FScroll->horizontalScrollBar()->setFocusPolicy(Qt::NoFocus);
  FScroll->verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
  SetBackground(FScroll->viewport(), Qt::black);
  FScroll->viewport()->installEventFilter(this);  // its resizes place the banner again
  FCanvas = new TRemoteCanvas(this, FScroll);
  FScroll->setWidget(FCanvas);

  // The banner over the picture once the session has ended: the reason and a way back. It
  // belongs to the visible area, not to the picture, so a scrolled picture never hides it.
  FBanner = new QWidget(FScroll->viewport());
  FBanner->setObjectName(QStringLiteral("FBanner"));
  SetBackground(FBanner, QColor(120, 40, 40));
  auto* bannerLayout = new QHBoxLayout(FBanner);
  bannerLayout->setContentsMargins(12, 6, 12, 6);
  FBannerText = new QLabel(FBanner);
  {
    QPalette pal = FBannerText->palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    FBannerText->setPalette(pal);
  }
  FReconnect = new QPushButton(QStringLiteral("다시 연결"), FBanner);
  FReconnect->setObjectName(QStringLiteral("btnReconnect"));
  FReconnect->setFocusPolicy(Qt::NoFocus);
  FCancelRetry = new QPushButton(QStringLiteral("취소"), FBanner);
  FCancelRetry->setObjectName(QStringLiteral("btnCancelRetry"));
  FCancelRetry->setFocusPolicy(Qt::NoFocus);
  FCancelRetry->hide();
  bannerLayout->addWidget(FBannerText, 1);
  bannerLayout->addWidget(FReconnect);
  bannerLayout->addWidget(FCancelRetry);
  FBanner->hide();
  FRetryTimer = new QTimer(this);
  FRetryTimer->setInterval(1000);
  FProofTimer = new QTimer(this);
  FProofTimer->setSingleShot(true);
  FProofTimer->setInterval(int(ProofAnswerMs));

  // Top: toolbar; bottom: file panel above the status bar; the chat panel on the right of
  // the picture between them.
  auto* middle = new QHBoxLayout;
  middle->setContentsMargins(0, 0, 0, 0);
  middle->setSpacing(0);
  middle->addWidget(FScroll, 1);
  middle->addWidget(FChatPanel);
  root->addWidget(FToolbar);
  root->addLayout(middle, 1);
  root->addWidget(FFilePanel);
  root->addWidget(FStatus);

  // Any change of the list is what the next session asks for; only the user's choice is sent.
  connect(cbQuality, &QComboBox::currentIndexChanged, this, [this](int AIndex) {
    if (AIndex < 0) return;
    FParams.Quality = AIndex;
    if (FSession) FSession->SetQuality(AIndex, false);
  });
  connect(cbQuality, &QComboBox::activated, this, [this](int AIndex) {
    if (FSession) FSession->SetQuality(AIndex);
    FCanvas->setFocus(Qt::OtherFocusReason);
  });
  connect(cbMonitor, &QComboBox::activated, this, [this](int AIndex) {
    if (FSession) FSession->SelectMonitor(AIndex);
    FCanvas->setFocus(Qt::OtherFocusReason);
  });
  connect(btnSendFile, &QPushButton::clicked, this, [this] { SendFileClick(); });
  connect(btnFiles, &QPushButton::clicked, this, [this] { ToggleFiles(); });
  connect(btnChat, &QPushButton::clicked, this, [this] { ToggleChat(); });
  connect(FFileList, &QTreeWidget::itemDoubleClicked, this, [this] { FileListDblClick(); });
  connect(FReconnect, &QPushButton::clicked, this, [this] {
    CancelRetry();
    Reconnect();
  });
  connect(FCancelRetry, &QPushButton::clicked, this, [this] { CancelRetry(); });
  connect(FRetryTimer, &QTimer::timeout, this, [this] { RetryTick(); });
  connect(FProofTimer, &QTimer::timeout, this, [this] {
    if (!FSession || FSession->State() != TViewerSession::EState::Waiting) return;
    FStatusLabel->setText(Q(AskingDespitePasswordText()));
    if (Unseen() && OnPendingStatus) OnPendingStatus(FStatusLabel->text());
  });
  connect(FCancelUpload, &QPushButton::clicked, this, [this] {
    if (!FSession) return;
    if (FSession->Uploading()) {
      FUploadCancelled = true;
      FUploadQueue.clear();
      FSession->CancelUpload();
    }
    if (FSession->Downloading()) FSession->CancelDownload();
  });
  connect(FOpenFolder, &QPushButton::clicked, this, [this] {
    QDesktopServices::openUrl(QUrl::fromLocalFile(Q(DownloadsFolder())));
  });
  connect(FAspectButton, &QPushButton::toggled, this, [this](bool AOn) {
    if (AOn == FKeepAspect) return;
    SetKeepAspect(AOn);
    if (OnKeepAspectChanged) OnKeepAspectChanged(AOn);
  });
  connect(FActualSizeButton, &QPushButton::toggled, this, [this](bool AOn) { SetActualSize(AOn); });
  connect(FFullScreenButton, &QPushButton::clicked, this, [this](bool AOn) { SetFullScreen(AOn); });
  connect(FDisconnect, &QPushButton::clicked, this, [this] { Disconnect(); });
  connect(FLinkTimer, &QTimer::timeout, this, [this] { RefreshLinkFigures(); });
}

TfrmRemote::~TfrmRemote() {
  if (qApp) qApp->removeEventFilter(this);
  FCanvas->Detach();  // the children outlive this body; none may reach the session from now on
  // The session goes first: its guard stops every queued call, and its threads are waited for.
  EndSession();
  FClip.reset();
}

// ---------------------------------------------------------------------------------------
// The session

void TfrmRemote::NewSession() {
  FSession = std::make_unique<TViewerSession>(FUi, FParams, FTimings);
  TViewerSession& s = *FSession;
  s.OnStatus = [this](const std::string& AText) {
    QString text = Q(AText);
    if (FPasswordRefused && FSession && FSession->State() == TViewerSession::EState::Waiting) {
      const QString code = text.section(QStringLiteral("... "), 1);  // the session code, if any
      text = Q(WrongPasswordAskingText()) + (code.isEmpty() ? QString() : QStringLiteral(" ") + code);
    }
    FStatusLabel->setText(text);
    RefreshTransferControls();  // a download's start, progress and end come as status lines
    RefreshSessionControls();   // and so does every change of the session's state
    if (Unseen() && OnPendingStatus) OnPendingStatus(FStatusLabel->text());
  };
  s.OnFrame = [this] {
    FLastPicture = QImage();
    if (FActualSize) ApplyCanvasSize();  // the partner's screen may have changed its size
    FCanvas->update();
  };
  s.OnMonitors = [this](const std::vector<TMonitorEntry>& AMonitors) { ShowMonitors(AMonitors); };
  s.OnChat = [this](const std::string& AText) { ShowChat(Q(AText)); };
  s.OnChatDropped = [this](size_t ADropped) {
    FChatLog->appendPlainText(QStringLiteral("(원격 채팅 %1줄이 너무 많아 표시하지 않았습니다)").arg(ADropped));
  };
  s.OnClipboard = [this](const std::string& AText) { FClip->ApplyRemote(Q(AText)); };
  s.OnListing = [this](const TDirListing& AListing, bool ACut) { ShowListing(AListing, ACut); };
  s.OnUploadDone = [this](const std::string& AName, bool AComplete) {
    if (AComplete) {
      FStatusLabel->setText(QStringLiteral("파일 전송 완료: ") + Q(AName));
    } else if (FUploadCancelled) {
      FStatusLabel->setText(QStringLiteral("전송 취소됨: ") + Q(AName));
    }
    FUploadCancelled = false;
    StartNextUpload();
  };
  s.OnDownloaded = [this](const std::string& APath) {
    const QFileInfo file(Q(APath));
    FStatusLabel->setText(QStringLiteral("다운로드 완료: ") + file.fileName() + QStringLiteral(" (") +
                          QDir::toNativeSeparators(file.absolutePath()) + QStringLiteral(")"));
    FOpenFolder->show();
  };
  s.OnStarted = [this] {
    FProofTimer->stop();
    FAutoAttempt = false;
    FPasswordRefused = false;  // from now on a request without a password, like any other
    FRetryAttempt = 0;
    SessionLive(true);
    if (Unseen()) {
      FAdmittedOnce = true;
      show();
      raise();
      activateWindow();
      if (OnAdmitted) OnAdmitted();
    }
    FAdmittedOnce = true;
  };
  s.OnConnectFailed = [this](const std::string& AText) {
    FProofTimer->stop();
    const QString text = QStringLiteral("서버에 연결할 수 없습니다: ") + Q(AText);
    if (Unseen()) return EndUnseen(text);
    FStatusLabel->setText(text);
    // The window stays with the reason and "다시 연결"; only the user's own first attempt
    // gets a box as well.
    const bool tellInBox = !FReconnecting;
    ShowBanner(text);
    if (FAutoAttempt) ScheduleRetry();
    RefreshSessionControls();
    if (tellInBox && FDialogs.Error) FDialogs.Error(this, text);
  };
  s.OnRelayError = [this](const std::string& AText) { ShowRefusal(AText); };
  s.OnEnded = [this](const std::string& AReason) {
    FProofTimer->stop();
    if (Unseen()) return EndUnseen(Q(AReason));
    SessionLive(false);
    ShowBanner(Q(AReason));
    // Only a lost relay connection is retried: a partner who ended the session meant it, and
    // with a password a new request would be admitted again without them.
    if (FSession && FSession->State() == TViewerSession::EState::Lost && !FSession->PartnerLeft()) ScheduleRetry();
  };
  s.OnResultWritten = [this] { CloseLater(); };
  FSecurityLabel->clear();
  FSecurityLabel->setStyleSheet(QString());
  s.OnSecured = [this](const TViewerSecureInfo& AInfo) {
    FSecurityLabel->setStyleSheet(QStringLiteral("color: #9FD89F;"));
    FSecurityLabel->setText(QStringLiteral("암호화됨 · 세션 코드 ") + Q(AInfo.SessionCode) + QStringLiteral(" · 보안 코드 ") +
                            Q(AInfo.SecurityCode) + (AInfo.FirstContact ? QStringLiteral(" (처음 접속)") : QString()));
  };
  s.OnPlainConnection = [this] {
    FSecurityLabel->setStyleSheet(QStringLiteral("color: #FF8C5A; font-weight: bold;"));
    FSecurityLabel->setText(Q(std::string(PlainConnectionText)));
  };
  s.OnKeyChanged = [this](const std::string& AOld, const std::string& ANew) {
    FSecurityLabel->setStyleSheet(QStringLiteral("color: #FF5A5A; font-weight: bold;"));
    FSecurityLabel->setText(Q(std::string(KeyChangedText)));
    const QString text = Q(std::string(KeyChangedText)) + QStringLiteral("\n\n이전 보안 코드: ") + Q(AOld) +
                         QStringLiteral("\n지금 보안 코드: ") + Q(ANew) +
                         QStringLiteral("\n\n상대방에게 전화 등으로 지금 코드를 확인하셨다면 새 코드를 신뢰하고 다시 연결할 수 "
                                        "있습니다. 새 코드를 신뢰할까요?");
    // Not from inside the session's own event: reconnecting replaces (and frees) the session.
    if (FDialogs.Confirm && FDialogs.Confirm(this, text) && FSession && FSession->TrustChangedKey())
      QMetaObject::invokeMethod(this, [this] { Reconnect(); }, Qt::QueuedConnection);
  };
  SessionLive(false);
}

QString TfrmRemote::SecurityText() const { return FSecurityLabel->text(); }

void TfrmRemote::CloseLater() {
  // Not from inside the session's own event: closing ends (and frees) the session.
  QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TfrmRemote::StartConnect() {
  if (FStarted) return;
  FStarted = true;
  NewSession();
  StartSession();
}

void TfrmRemote::StartSession() {
  FWaitClock.start();
  if (!FParams.Proof.empty()) FProofTimer->start();
  FSession->Start();
}

void TfrmRemote::Reconnect() {
  ++FAttemptNo;
  if (const QImage last = ScreenSnapshot(); !last.isNull()) FLastPicture = last;
  EndSession();
  FReconnecting = true;
  FBanner->hide();
  FStatusLabel->setText(QStringLiteral("연결 중..."));
  FCurPath.clear();
  FFileList->clear();
  NewSession();
  StartSession();
  FCanvas->update();
}

void TfrmRemote::EndUnseen(const QString& AText) {
  FProofTimer->stop();
  if (OnEndedUnseen) OnEndedUnseen(AText);
  CloseLater();
}

void TfrmRemote::ShowRefusal(const std::string& AText) {
  FProofTimer->stop();
  // A refusal ends whatever there was: the relay closes the connection after it, and the
  // session reports no end of its own then.
  SessionLive(false);
  if (FSession && FSession->PasswordRefused() && !FParams.Proof.empty()) {
    // A wrong password (or one the partner has changed since) does not end the attempt: the
    // partner's user is asked instead, once, and told that the password given was wrong. The
    // partner registers again after turning the password down, so the request waits a moment.
    FParams.Proof.clear();
    FParams.Security.PasswordHash.clear();  // what the handshake proves: nothing now
    FPasswordRefused = true;
    if (OnPasswordRefused) OnPasswordRefused();
    FAutoAttempt = true;
    FStatusLabel->setText(Q(WrongPasswordAskingText()));
    if (Unseen() && OnPendingStatus) OnPendingStatus(FStatusLabel->text());
    // Unless the user closed the window or reconnected meanwhile.
    QTimer::singleShot(PasswordFallbackDelayMs, this, [this, attempt = FAttemptNo] {
      if (attempt == FAttemptNo) Reconnect();
    });
    return;
  }
  if (FPasswordRefused && FAutoAttempt && !RefusedByPartner(AText)) {
    // That request came before the partner was back: ask again after the usual wait.
    const QString text = Q(DescribeRefusal(AText, true, 0));
    if (!Unseen()) ShowBanner(text);
    FBannerReason = text;
    ScheduleRetry();
    return;
  }
  if (OnRefused) OnRefused(ClassifyRelayRefusal(AText));
  const QString text =
      Q(DescribeRefusal(AText, !FParams.Proof.empty() || FPasswordRefused,
                        FWaitClock.isValid() ? FWaitClock.elapsed() : 0));
  FStatusLabel->setText(QStringLiteral("오류: ") + text);
  if (Unseen()) return EndUnseen(text);
  ShowBanner(text);
  if (FAutoAttempt) {
    // The partner is not back yet (or the relay is busy): wait and ask again, but never ask a
    // partner's user again who said no or let the question lapse.
    if (!RefusedByPartner(AText)) ScheduleRetry();
    return;
  }
  if (FDialogs.Warning) FDialogs.Warning(this, text);
}

bool TfrmRemote::Retrying() const { return FRetryTimer->isActive(); }

void TfrmRemote::ScheduleRetry() {
  ++FRetryAttempt;
  FRetryLeft = RetryDelaySeconds(FRetryAttempt);
  FCancelRetry->show();
  FRetryTimer->start();
  FBannerText->setText(FBannerReason + QStringLiteral(" — %1초 후 다시 연결합니다").arg(FRetryLeft));
}

void TfrmRemote::RetryTick() {
  if (--FRetryLeft > 0) {
    FBannerText->setText(FBannerReason + QStringLiteral(" — %1초 후 다시 연결합니다").arg(FRetryLeft));
    return;
  }
  FRetryTimer->stop();
  FCancelRetry->hide();
  FAutoAttempt = true;
  Reconnect();
}

void TfrmRemote::CancelRetry() {
  FRetryTimer->stop();
  FCancelRetry->hide();
  FAutoAttempt = false;
  FRetryAttempt = 0;
  FBannerText->setText(FBannerReason);
}

void TfrmRemote::EndSession() {
  if (!FSession) return;
  FSession->Stop();
  FSession.reset();
}

void TfrmRemote::ShowBanner(const QString& AText) {
  FBannerReason = AText;
  FBannerText->setText(AText);
  PlaceBanner();
  FBanner->show();
  FBanner->raise();
}

void TfrmRemote::PlaceBanner() { FBanner->setGeometry(0, 0, FScroll->viewport()->width(), FBanner->sizeHint().height()); }

void TfrmRemote::Disconnect() {
  if (!FSession || FSession->Ended()) return;
  CancelRetry();
  FProofTimer->stop();
  if (const QImage last = ScreenSnapshot(); !last.isNull()) FLastPicture = last;
  EndSession();
  SessionLive(false);
  if (isFullScreen()) SetFullScreen(false);
  const QString text = QStringLiteral("연결을 끊었습니다");
  FStatusLabel->setText(text);
  ShowBanner(text);
  FCanvas->update();
}

void TfrmRemote::SendSpecialKey(ESpecialKey AKey) {
  if (!IsConnected()) return;
  FSession->SendSpecialKey(AKey);
  FCanvas->setFocus(Qt::OtherFocusReason);
}

void TfrmRemote::SetFullScreen(bool AOn) {
  if (AOn)
    showFullScreen();
  else
    showNormal();
  FFullScreenButton->setChecked(AOn);
  LayoutToolbar();
}

void TfrmRemote::SetActualSize(bool AOn) {
  FActualSize = AOn;
  FActualSizeButton->setChecked(AOn);
  FAspectButton->setEnabled(!AOn);  // 1:1 has the remote screen's shape anyway
  ApplyCanvasSize();
  LayoutToolbar();
  FCanvas->update();
}

void TfrmRemote::ApplyCanvasSize() {
  int rw = RemoteWidth(), rh = RemoteHeight();
  if ((rw <= 0 || rh <= 0) && !FLastPicture.isNull()) {
    rw = FLastPicture.width();
    rh = FLastPicture.height();
  }
  if (!FActualSize || rw <= 0 || rh <= 0) {
    FScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FScroll->setWidgetResizable(true);
    return;
  }
  // One remote pixel to one device pixel: on a display with a ratio of 2 the canvas is half as
  // many logical pixels.
  const qreal dpr = FScroll->devicePixelRatioF();
  const QSize size(int(std::ceil(rw / dpr)), int(std::ceil(rh / dpr)));
  FScroll->setWidgetResizable(false);
  FScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  FScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  if (FCanvas->size() != size) FCanvas->resize(size);
}

QString TfrmRemote::BannerText() const { return FBanner->isHidden() ? QString() : FBannerText->text(); }

void TfrmRemote::closeEvent(QCloseEvent* AEvent) {
  // Closing ends the session: the partner sees it end at once, and may be reached again.
  ++FAttemptNo;
  CancelRetry();
  FProofTimer->stop();
  EndSession();
  FBanner->hide();
  QWidget::closeEvent(AEvent);
}

void TfrmRemote::hideEvent(QHideEvent* AEvent) {
  if (FSession) FSession->ReleaseHeld();
  QWidget::hideEvent(AEvent);
}

void TfrmRemote::changeEvent(QEvent* AEvent) {
  if (AEvent->type() == QEvent::WindowStateChange && FFullScreenButton) FFullScreenButton->setChecked(isFullScreen());
  if (AEvent->type() == QEvent::ActivationChange && !isActiveWindow() && FSession) FSession->ReleaseHeld();
  QWidget::changeEvent(AEvent);
}

QString TfrmRemote::StatusText() const { return FStatusLabel->text(); }

QString TfrmRemote::FilePathText() const { return FFilePath->text(); }

QWidget* TfrmRemote::Canvas() const { return FCanvas; }

QImage TfrmRemote::ScreenSnapshot() const {
  QImage copy;
  if (!FSession) return copy;
  FSession->Screen().Read([&](const TRemoteScreen::TView& AView) {
    if (AView.Bits)
      copy = QImage(AView.Bits, AView.Width, AView.Height, AView.Stride, QImage::Format_RGB32).copy();
  });
  return copy;
}

void TfrmRemote::ReportError(const QString& AText) {
  if (FDialogs.Error) FDialogs.Error(this, AText);
}

// ---------------------------------------------------------------------------------------
// Painting

QRect TfrmRemote::PictureRect() const { return PictureRectFor(RemoteWidth(), RemoteHeight()); }

QRect TfrmRemote::PictureRectFor(int ARemoteW, int ARemoteH) const {
  const int rw = ARemoteW, rh = ARemoteH;
  const QRect area = FCanvas->rect();
  if (FActualSize) return area;  // the canvas is the picture's own size
  if (!FKeepAspect || rw <= 0 || rh <= 0 || area.isEmpty()) return area;
  // The largest rectangle of the remote screen's shape that fits, centred on black.
  if (int64_t(area.width()) * rh > int64_t(area.height()) * rw) {
    const int w = MulDiv(area.height(), rw, rh);
    return QRect((area.width() - w) / 2, 0, w, area.height());
  }
  const int h = MulDiv(area.width(), rh, rw);
  return QRect(0, (area.height() - h) / 2, area.width(), h);
}

void TfrmRemote::SetKeepAspect(bool AKeep) {
  FKeepAspect = AKeep;
  ShowToggles();
  FCanvas->update();
}

void TfrmRemote::CanvasPaint(QPainter& APainter) {
  const QRect area = FCanvas->rect();
  const QRect picture = PictureRect();
  bool painted = false;
  // The half-size copy is chosen by the area in device pixels, where the picture lands.
  const qreal dpr = FCanvas->devicePixelRatioF();
  const int deviceW = qRound(picture.width() * dpr), deviceH = qRound(picture.height() * dpr);
  if (FSession)
    FSession->Screen().ReadForArea(deviceW, deviceH, [&](const TRemoteScreen::TView& AView) {
      if (!AView.Bits) return;
      if (picture != area) APainter.fillRect(area, Qt::black);
      // Wraps the buffer without copying; the screen's lock is held while it is drawn. A screen
      // at least twice the picture's area comes at half size, a quarter of the work to scale.
      const QImage image(AView.Bits, AView.Width, AView.Height, AView.Stride, QImage::Format_RGB32);
      APainter.setRenderHint(QPainter::SmoothPixmapTransform, true);
      APainter.drawImage(picture, image);
      painted = true;
    });
  if (painted) return;
  APainter.fillRect(area, Qt::black);
  if (!FLastPicture.isNull()) {
    // Reconnecting: the last picture of the ended session stays until the first new frame.
    APainter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    APainter.drawImage(PictureRectFor(FLastPicture.width(), FLastPicture.height()), FLastPicture);
    return;
  }
  APainter.setPen(QColor(128, 128, 128));
  APainter.setFont(FCanvas->font());
  APainter.drawText(QRect(20, 20, qMax(0, area.width() - 20), qMax(0, area.height() - 20)),
                    Qt::AlignLeft | Qt::AlignTop, QStringLiteral("화면 수신 대기 중..."));
}

// ---------------------------------------------------------------------------------------
// Mouse and keys

void TfrmRemote::SendMouse(QPointF APos, uint8_t AButton, uint8_t AAction, int16_t AWheelDelta) {
  if (!IsConnected()) return;
  // Until a frame gave the partner's screen its size there is nothing to map onto: any position
  // sent now would land at the partner's top-left corner (and a click there may hit a menu).
  if (RemoteWidth() <= 0 || RemoteHeight() <= 0) return;
  // Mapped in device pixels, where the picture is painted: on a display with a device-pixel
  // ratio above 1 a logical pixel covers several remote ones, and the event's fraction counts.
  const qreal dpr = FCanvas->devicePixelRatioF();
  const QRect picture = PictureRect();
  const int px = qRound((APos.x() - picture.x()) * dpr), pw = qRound(picture.width() * dpr);
  const int py = qRound((APos.y() - picture.y()) * dpr), ph = qRound(picture.height() * dpr);
  TMouseEventRec rec{};
  rec.X = pw > 0 ? MulDiv(px, RemoteWidth(), pw) : px;
  rec.Y = ph > 0 ? MulDiv(py, RemoteHeight(), ph) : py;
  rec.Button = AButton;
  rec.Action = AAction;
  rec.WheelDelta = AWheelDelta;
  FSession->SendMouse(rec);  // a full queue drops it; the next event tries again
}

void TfrmRemote::CanvasMouseDown(QMouseEvent* AEvent) { SendMouse(AEvent->position(), ButtonCode(AEvent->button()), MousePress, 0); }

void TfrmRemote::CanvasMouseUp(QMouseEvent* AEvent) { SendMouse(AEvent->position(), ButtonCode(AEvent->button()), MouseRelease, 0); }

void TfrmRemote::CanvasMouseMove(QMouseEvent* AEvent) { SendMouse(AEvent->position(), MouseButtonNone, MouseMove, 0); }

void TfrmRemote::CanvasDblClick(QMouseEvent* AEvent) {
  // Qt reports the second press of a double-click as this event instead of a press. It goes
  // out as that press alone: the host's own desktop makes a double-click of two clicks, and a
  // double-click record besides would inject a third (a terminal then selects the whole line).
  CanvasMouseDown(AEvent);
}

bool TfrmRemote::FormMouseWheel(QWheelEvent* AEvent) {
  if (!IsConnected()) return false;
  const int delta = AEvent->angleDelta().y();
  if (delta == 0) return false;  // sideways turns have no counterpart on the host
  const QPointF p = FCanvas->mapFromGlobal(AEvent->globalPosition());
  // Over the visible part of the picture only: at 1:1 the picture reaches under the scroll bars.
  const QPoint inView = FScroll->viewport()->mapFromGlobal(AEvent->globalPosition()).toPoint();
  if (!FCanvas->rect().contains(p.toPoint()) || !FScroll->viewport()->rect().contains(inView)) return false;
  SendMouse(p, MouseButtonNone, MouseWheel, static_cast<int16_t>(delta));
  return true;
}

bool TfrmRemote::FormKey(QKeyEvent* AEvent, bool AKeyUp) {
  if (!IsConnected()) return false;
  QWidget* focus = focusWidget();
  if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QComboBox*>(focus)) return false;
  // X repeats a held key as release + press pairs; the host sees only the presses, as a
  // held key on Windows would produce.
  if (AKeyUp && AEvent->isAutoRepeat()) return true;
  const std::optional<uint16_t> vk = VirtualKeyFromNativeKey(AEvent->nativeVirtualKey());
  if (vk) FSession->SendKey(*vk, AKeyUp, IsExtendedVirtualKey(*vk));
  return true;  // consumed: no local control acts on a forwarded key
}

bool TfrmRemote::eventFilter(QObject* AWatched, QEvent* AEvent) {
  const QEvent::Type type = AEvent->type();
  if (AWatched == FToolbar && type == QEvent::Resize) LayoutToolbar();
  if (FBanner && AWatched == FScroll->viewport() && type == QEvent::Resize && !FBanner->isHidden()) PlaceBanner();
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::Wheel)
    return QWidget::eventFilter(AWatched, AEvent);
  auto* widget = qobject_cast<QWidget*>(AWatched);
  if (!widget || widget->window() != this) return QWidget::eventFilter(AWatched, AEvent);
  if (type == QEvent::Wheel) return FormMouseWheel(static_cast<QWheelEvent*>(AEvent));
  auto* key = static_cast<QKeyEvent*>(AEvent);
  if (FormKey(key, type == QEvent::KeyRelease)) return true;
  if (type == QEvent::KeyPress && AWatched == FChatEdit) return ChatEditKeyDown(key);
  return false;
}

// ---------------------------------------------------------------------------------------
// Files

void TfrmRemote::SendFileClick() {
  if (!IsConnected()) return;
  // Files chosen while one is on its way wait behind it.
  const QStringList paths = FDialogs.OpenFiles ? FDialogs.OpenFiles(this) : QStringList();
  QueueUploads(paths);
}

void TfrmRemote::QueueUploads(const QStringList& APaths) {
  if (!IsConnected() || APaths.isEmpty()) return;
  FUploadQueue += APaths;
  if (FSession->Uploading()) {
    FStatusLabel->setText(QStringLiteral("전송 대기 중인 파일: %1개").arg(FUploadQueue.size()));
    return;
  }
  StartNextUpload();
}

void TfrmRemote::StartNextUpload() {
  while (!FUploadQueue.isEmpty() && IsConnected() && !FSession->Uploading()) {
    const QString path = FUploadQueue.takeFirst();
    try {
      FSession->SendFile(U(path));
    } catch (const std::exception& e) {
      ReportError(QString::fromUtf8(e.what()));
      continue;  // the next one may be fine
    }
    QString text = QStringLiteral("전송 중: ") + Q(TViewerUpload::SentName(U(path)));
    if (!FUploadQueue.isEmpty()) text += QStringLiteral(" (대기 %1개)").arg(FUploadQueue.size());
    FStatusLabel->setText(text);
    FUploadCancelled = false;
    break;
  }
  if (!IsConnected()) FUploadQueue.clear();
  RefreshTransferControls();
}

void TfrmRemote::RefreshTransferControls() {
  const bool running = FSession && (FSession->Uploading() || FSession->Downloading());
  FCancelUpload->setVisible(running);
  if (running) FOpenFolder->hide();
}

void TfrmRemote::SessionLive(bool ALive) {
  // A line typed before the partner admits us, or after they left, would reach nobody.
  FChatEdit->setEnabled(ALive);
  // The input is dark on the dark pane: the placeholder is what shows where to type.
  FChatEdit->setPlaceholderText(ALive ? QStringLiteral("채팅 메시지 입력 후 Enter")
                                      : QStringLiteral("세션이 시작되면 채팅할 수 있습니다"));
  if (!ALive) FUploadQueue.clear();
  RefreshTransferControls();
  RefreshSessionControls();
  if (ALive) {
    FLinkLabel->setText(QString());
    FLinkTimer->start();
  } else {
    FLinkTimer->stop();
    FLinkLabel->hide();
  }
}

void TfrmRemote::RefreshSessionControls() {
  // "연결 끊기" also withdraws a request still waiting for the partner.
  FDisconnect->setEnabled(FSession && FSession->State() != TViewerSession::EState::Created && !FSession->Ended() &&
                          !FSession->Refused());
  FSpecialKeys->setEnabled(IsConnected());
  LayoutToolbar();  // the overflow menu's entries follow
}

QString TfrmRemote::LinkText() const { return FLinkLabel->isHidden() ? QString() : FLinkLabel->text(); }

void TfrmRemote::RefreshLinkFigures() {
  if (!IsConnected()) return;
  const TLinkMeter::TFigures figures = FSession->LinkFigures();
  const double fps = figures.FramesPerSecond;
  QString text = QStringLiteral("%1 fps").arg(fps >= 10 ? QString::number(qRound(fps)) : QString::number(fps, 'f', 1));
  // An upper bound (LinkMeter.h): the line is at most this slow, and says so.
  text += figures.RoundTripMs ? QStringLiteral(" · 왕복 ≤ %1 ms").arg(*figures.RoundTripMs) : QStringLiteral(" · 왕복 —");
  FLinkLabel->setText(text);
  FLinkLabel->show();
}

void TfrmRemote::ToggleFiles() {
  FFilePanel->setVisible(FFilePanel->isHidden());
  ShowToggles();
  if (!FFilePanel->isHidden() && FFileList->topLevelItemCount() == 0) RequestListing(std::string());
}

void TfrmRemote::RequestListing(const std::string& APath) {
  if (FSession) FSession->RequestListing(APath);
}

void TfrmRemote::FileListDblClick() {
  QTreeWidgetItem* item = FFileList->currentItem();
  if (!item || !item->isSelected()) return;
  const int tag = item->data(0, Qt::UserRole).toInt();
  const std::string caption = U(item->text(0));
  if (tag == TagParent) {
    if (FCurPath.empty()) return;
    const std::string parent = RemoteParentPath(FCurPath);
    RequestListing(parent == FCurPath ? std::string() : parent);
  } else if (tag == TagFolder) {
    if (caption.size() < 2) return;
    const std::string name = caption.substr(1, caption.size() - 2);
    RequestListing(FCurPath.empty() ? name : RemoteChildPath(FCurPath, name));
  } else if (tag == TagFile) {
    if (FCurPath.empty() || !FSession) return;
    FSession->RequestFile(RemoteChildPath(FCurPath, caption));
  }
}

void TfrmRemote::ShowListing(const TDirListing& AListing, bool ACut) {
  if (AListing.IsError) {
    FFilePath->setText(QStringLiteral("목록 오류: ") + Q(AListing.ErrorText));
    return;
  }
  FFileList->setUpdatesEnabled(false);
  FFileList->clear();
  FCurPath = AListing.Path;
  FFileList->setSortingEnabled(false);  // rows are sorted once, after filling
  if (!FCurPath.empty()) new TListingItem(FFileList, {QStringLiteral("[..]")}, TagParent, 0);
  const QLocale locale = QLocale::system();
  for (const TDirListing::TLine& line : AListing.Entries) {
    if (line.IsDir) {
      new TListingItem(FFileList, {QStringLiteral("[") + Q(line.Name) + QStringLiteral("]"), QString()}, TagFolder, 0);
      continue;
    }
    int64_t bytes = 0;
    const char* first = line.SizeText.data();
    const char* last = first + line.SizeText.size();
    const auto parsed = std::from_chars(first, last, bytes);
    if (parsed.ec != std::errc() || parsed.ptr != last || line.SizeText.empty()) {
      FFileList->setSortingEnabled(true);
      FFileList->setUpdatesEnabled(true);
      ReportError(QStringLiteral("'") + Q(CutUtf8(line.SizeText, MaxStatusChars)) +
                  QStringLiteral("' is not a valid integer value"));
      return;
    }
    // Units of 1024 bytes, rounded half away from zero, with the locale's digit grouping.
    const int64_t kb = bytes >= 0 ? (bytes + 512) / 1024 : -((-bytes + 512) / 1024);
    auto* row = new TListingItem(FFileList, {Q(line.Name), locale.toString(static_cast<qlonglong>(kb)) + QStringLiteral(" KB")},
                                 TagFile, bytes);
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
  FFileList->setSortingEnabled(true);
  FFileList->setUpdatesEnabled(true);
  // The whole path is kept for navigating; the line shows as much as a status line.
  QString pathLine = QStringLiteral("원격 경로: ") +
                     (FCurPath.empty() ? QStringLiteral("드라이브") : Q(CutUtf8(FCurPath, MaxStatusChars)));
  if (ACut)
    pathLine += QStringLiteral(" (처음 %1개 항목만 표시)").arg(locale.toString(static_cast<qlonglong>(MaxListingEntries)));
  FFilePath->setText(pathLine);
}

// ---------------------------------------------------------------------------------------
// Monitors, chat

void TfrmRemote::ShowMonitors(const std::vector<TMonitorEntry>& AMonitors) {
  cbMonitor->setUpdatesEnabled(false);
  cbMonitor->clear();
  for (const TMonitorEntry& entry : AMonitors)
    cbMonitor->addItem(QStringLiteral("모니터 %1 (%2x%3)").arg(entry.Number).arg(Q(entry.WidthText), Q(entry.HeightText)));
  if (cbMonitor->count() > 0) cbMonitor->setCurrentIndex(0);
  cbMonitor->setUpdatesEnabled(true);
  LayoutToolbar();
}

void TfrmRemote::LayoutToolbar() {
  // The monitor list is as wide as its longest entry (a partner's text is capped at twice the
  // usual width); the buttons follow it as far as the toolbar reaches, the rest go into the
  // overflow menu left of "연결 끊기", which keeps the right end.
  const int listWidth = qBound(120, cbMonitor->sizeHint().width(), 240);
  cbMonitor->setGeometry(200, 8, listWidth, 28);
  const auto widthOf = [](QPushButton* AButton) { return qMax(72, AButton->sizeHint().width() + 24); };
  const int disconnectWidth = widthOf(FDisconnect);
  const int end = FToolbar->width() - 6;
  FDisconnect->setGeometry(end - disconnectWidth, 6, disconnectWidth, 30);
  const int moreWidth = 90, right = end - disconnectWidth - 12;
  int x = 200 + listWidth + 12;
  bool overflowing = false;
  for (size_t i = 0; i < FToolbarButtons.size(); ++i) {
    QPushButton* button = FToolbarButtons[i];
    const int w = widthOf(button);
    const bool last = i + 1 == FToolbarButtons.size();
    // Room for it, and for the menu button too unless it is the last one.
    const bool fits = !overflowing && x + w <= (last ? right : right - moreWidth - 6);
    overflowing = !fits;
    button->setVisible(fits);
    FOverflowActions[i]->setVisible(!fits);
    FOverflowActions[i]->setEnabled(button->isEnabled());
    if (FOverflowActions[i]->isCheckable()) FOverflowActions[i]->setChecked(button->isChecked());
    if (fits) {
      button->setGeometry(x, 6, w, 30);
      x += w + 6;
    }
  }
  FOverflow->setVisible(overflowing);
  FOverflow->setGeometry(qMax(x, right - moreWidth), 6, moreWidth, 30);
}

void TfrmRemote::ToggleChat() {
  FChatPanel->setVisible(FChatPanel->isHidden());
  ShowToggles();
  if (!FChatPanel->isHidden()) FChatEdit->setFocus(Qt::OtherFocusReason);
}

void TfrmRemote::ShowToggles() {
  FChatButton->setChecked(!FChatPanel->isHidden());
  FFilesButton->setChecked(!FFilePanel->isHidden());
  FAspectButton->setChecked(FKeepAspect);
  LayoutToolbar();  // the menu's entries show the same states
}

bool TfrmRemote::ChatEditKeyDown(QKeyEvent* AEvent) {
  if (AEvent->key() != Qt::Key_Return && AEvent->key() != Qt::Key_Enter) return false;
  if (!FChatEdit->isEnabled() || !IsConnected()) return true;
  const QString text = FChatEdit->text();
  if (TrimControl(U(text)).empty()) return false;
  if (!FSession || !FSession->SendChat(U(text))) {
    ReportError(QStringLiteral("채팅을 보낼 수 없습니다: 연결되어 있지 않습니다."));
    return true;
  }
  FChatLog->appendPlainText(ChatStamp() + QStringLiteral("나: ") + text);
  FChatEdit->clear();
  return true;
}

void TfrmRemote::ShowChat(const QString& AText) {
  // The pane opens, but the keyboard stays where it was: keys meant for the partner's terminal
  // must not turn into a chat line.
  if (FChatPanel->isHidden()) {
    FChatPanel->show();
    ShowToggles();
  }
  FChatLog->appendPlainText(ChatStamp() + QStringLiteral("원격: ") + AText);
}

}  // namespace tlm
