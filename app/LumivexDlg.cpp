#include "app/LumivexDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>

#include <iterator>

#include "app/AboutDlg.h"
#include "app/Resources.h"

namespace {

// Commands by control or menu ID. Enter and Esc arrive as kIdOk and kIdCancel and are
// swallowed, so only the close box ends the dialog.
struct CommandRoute {
    int32_t id;
    void (*handler)(CLumivexDlg* dialog);
};

const CommandRoute kCommandMap[] = {
    {kIdOk, [](CLumivexDlg* d) { d->OnIgnoreCommand(); }},
    {kIdCancel, [](CLumivexDlg* d) { d->OnIgnoreCommand(); }},
    {kIdOpenPhoto, [](CLumivexDlg* d) { d->OnOpenPhoto(); }},
    {kIdSavePhoto, [](CLumivexDlg* d) { d->OnSavePhoto(); }},
    {kIdBandRed + 0, [](CLumivexDlg* d) { d->OnBandButton(0); }},
    {kIdBandRed + 1, [](CLumivexDlg* d) { d->OnBandButton(1); }},
    {kIdBandRed + 2, [](CLumivexDlg* d) { d->OnBandButton(2); }},
    {kIdBandRed + 3, [](CLumivexDlg* d) { d->OnBandButton(3); }},
    {kIdBandRed + 4, [](CLumivexDlg* d) { d->OnBandButton(4); }},
    {kIdBandRed + 5, [](CLumivexDlg* d) { d->OnBandButton(5); }},
    {kIdReset, [](CLumivexDlg* d) { d->OnReset(); }},
    {kIdAbout, [](CLumivexDlg* d) { d->OnAbout(); }},
    {kIdWbOff, [](CLumivexDlg* d) { d->OnWbOff(); }},
    {kIdWbAuto, [](CLumivexDlg* d) { d->OnWbAuto(); }},
    {kIdWbSpot, [](CLumivexDlg* d) { d->OnWbSpot(); }},
};

// The slider controls follow the rows of the adjustment table.
static_assert(kIdBandBrightnessSlider - kIdBrightnessSlider + 1 == kAdjustmentCount);

// Band k's swatch, in the order of the colour its button names.
const int32_t kBandBitmaps[6] = {kBitmapRed,  kBitmapYellow, kBitmapGreen,
                                 kBitmapCyan, kBitmapBlue,   kBitmapMagenta};

}  // namespace

CLumivexDlg::CLumivexDlg(UserPrompts* userPrompts) : QDialog(nullptr), prompts(userPrompts) {
    if (!prompts) {
        ownPrompts = std::make_unique<QtUserPrompts>();
        prompts = ownPrompts.get();
    }
    selectedBand = 0;
    wbRadio = 0;
    appIcon = LoadAppIcon();
    // The pool, the engine tables and the curve and band blocks are the AdjustmentState's.
    photoWidth = photoHeight = 0;
    displayDib = nullptr;
    autoWbCache = spotWbCache = nullptr;

    CreateFromTemplate();
    ConnectMessageMap();
    OnInitDialog();
}

CLumivexDlg::~CLumivexDlg() {
    client->removeEventFilter(this);
    previewFrame->SetPaintHook(nullptr);
    FreeDisplayDib(displayDib);
    // The caches, curves, band table, engine tables and pool go with AdjustmentState.
}

void CLumivexDlg::CreateFromTemplate() {
    const DialogTemplate& dialog = kMainDialog;
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(dialog.caption));
    setFont(DialogFont(dialog.fontFace, dialog.pointSize));

    // The menu's one popup sits at the right end of the bar.
    menuBar = new QMenuBar(this);
    menuBar->setNativeMenuBar(false);
    auto* rightBar = new QMenuBar(menuBar);
    rightBar->setNativeMenuBar(false);
    QMenu* popup = rightBar->addMenu(QString::fromUtf8(kMainMenuTemplate.popupText));
    for (int32_t i = 0; i < kMainMenuTemplate.itemCount; ++i) {
        const MenuItemTemplate& item = kMainMenuTemplate.items[i];
        QAction* action = popup->addAction(QString::fromUtf8(item.text));
        action->setData(item.id);
    }
    menuBar->setCornerWidget(rightBar, Qt::TopRightCorner);

    // Template coordinates start below the menu bar, as client coordinates do.
    client = new QWidget(this);
    controls = CreateDialogControls(client, dialog);
    const QRect size = MapDialogRect(controls.units, 0, 0, dialog.cx, dialog.cy);
    const int menuHeight = menuBar->sizeHint().height();
    menuBar->setGeometry(0, 0, size.width(), menuHeight);
    client->setGeometry(0, menuHeight, size.width(), size.height());
    resize(size.width(), size.height() + menuHeight);

    client->installEventFilter(this);
    for (QButtonGroup* group : controls.radioGroups) {
        if (group->button(kIdWbOff)) wbGroup = group;
    }
}

// The message map: every command, scroll and window event and the handler it reaches.
// Paint, size, click and close arrive through the event overrides below.
void CLumivexDlg::ConnectMessageMap() {
    for (const CommandRoute& route : kCommandMap) {
        if (auto* button = qobject_cast<QAbstractButton*>(controls.Item(route.id))) {
            const int32_t id = route.id;
            connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
        }
    }
    for (QAction* action : menuBar->findChildren<QAction*>()) {
        if (!action->data().isValid()) continue;
        const int32_t id = action->data().toInt();
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    }
    for (int32_t id = kIdBrightnessSlider; id <= kIdBandBrightnessSlider; ++id) {
        auto* slider = static_cast<TrackBar*>(controls.Item(id));
        connect(slider, &TrackBar::scrolled, this,
                [this, slider](int code) { OnHScroll(code, slider->GetPos(), slider); });
    }
    static_cast<BlackFrame*>(controls.Item(kIdPreviewFrame))->SetPaintHook([this](QPainter& dc) {
        OnPaint(dc);
    });
}

void CLumivexDlg::OnCommand(int32_t id) {
    for (const CommandRoute& route : kCommandMap) {
        if (route.id == id) {
            route.handler(this);
            return;
        }
    }
}

void CLumivexDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            OnCommand(kIdOk);
            event->accept();
            return;
        case Qt::Key_Escape:
            OnCommand(kIdCancel);
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CLumivexDlg::closeEvent(QCloseEvent* event) {
    OnClose();
    event->accept();
}

// Linux offers no window menu that a program can extend; its item is offered here instead.
void CLumivexDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (!systemMenu) {
        QDialog::contextMenuEvent(event);
        return;
    }
    if (QAction* chosen = systemMenu->exec(event->globalPos())) {
        OnSysCommand(chosen->data().toInt());
    }
}

void CLumivexDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int menuHeight = menuBar->height();
    menuBar->setGeometry(0, 0, width(), menuHeight);
    client->setGeometry(0, menuHeight, width(), std::max(0, height() - menuHeight));
}

bool CLumivexDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == client) {
        if (event->type() == QEvent::Resize) {
            OnSize(isMaximized() ? kSizeMaximized : kSizeRestored, client->width(),
                   client->height());
        } else if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                const QPoint at = mouse->position().toPoint();
                OnLButtonDown(static_cast<uint32_t>(mouse->buttons()), Point{at.x(), at.y()});
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CLumivexDlg::DoDataExchange(int saveAndValidate) {
    if (!brightnessSlider) {
        TrackBar** sliders[] = {&brightnessSlider,    &vividnessSlider, &addLightSlider,
                                &suppressLightSlider, &bandHueSlider,   &bandVividnessSlider,
                                &bandBrightnessSlider};
        for (int32_t i = 0; i < 7; ++i) {
            *sliders[i] = static_cast<TrackBar*>(controls.Item(kIdBrightnessSlider + i));
        }
        previewFrame = static_cast<BlackFrame*>(controls.Item(kIdPreviewFrame));
        for (int32_t k = 0; k < 6; ++k) {
            bandButtons[k] = static_cast<QPushButton*>(controls.Item(kIdBandRed + k));
        }
    }
    if (saveAndValidate) {
        wbRadio = -1;
        for (int32_t i = 0; i < 3; ++i) {
            if (wbGroup->button(kIdWbOff + i)->isChecked()) wbRadio = i;
        }
    } else if (wbRadio >= 0 && wbRadio < 3) {
        wbGroup->button(kIdWbOff + wbRadio)->setChecked(true);
    }
}

int CLumivexDlg::UpdateData(int saveAndValidate) {
    DoDataExchange(saveAndValidate);
    return selectedBand >= 0 && selectedBand <= 5;
}

int CLumivexDlg::OnInitDialog() {
    UpdateData(0);

    const char* aboutText = LoadResourceString(kAboutMenuString);
    if (*aboutText) {
        systemMenu = new QMenu(this);
        systemMenu->addSeparator();
        QAction* about = systemMenu->addAction(QString::fromUtf8(aboutText));
        about->setData(kSysCommandAbout);
    }

    setWindowIcon(appIcon);

    const QPoint framePosition = previewFrame->pos();
    frameOffset = Point{framePosition.x(), framePosition.y()};

    needsApply = 1;
    imageRect = Rect{};
    selectedBand = 0;

    for (const AdjustmentSpec& row : kAdjustments) {
        TrackBar* slider = Slider(row.id);
        slider->SetRange(row.minimum, row.maximum);
        for (int32_t i = 0; i < row.tickCount; ++i) slider->SetTic(row.ticks[i]);
    }

    for (int32_t k = 0; k < 6; ++k) {
        // The button keeps its own copy of the swatch.
        const QPixmap swatch = LoadResourceBitmap(kBandBitmaps[k]);
        bandButtons[k]->setIcon(QIcon(swatch));
        bandButtons[k]->setIconSize(swatch.size());
        bandButtons[k]->setChecked(k == 0);
    }

    selectedBand = 0;
    LayoutPreview();
    ResetAdjustments();
    UpdateData(0);
    return 1;
}

void CLumivexDlg::OnSysCommand(int32_t id) {
    if ((id & 0xFFF0) == kSysCommandAbout) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CLumivexDlg::OnClose() {
    UpdateData(1);
    done(QDialog::Accepted);
}

void CLumivexDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CLumivexDlg::InvalidateClientRect(const Rect& rect, int erase) {
    const QRect area(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    client->update(area);
    // Qt leaves children that paint every pixel themselves out of their parent's update, so
    // the preview frame is told directly.
    const QRect part = area.intersected(previewFrame->geometry());
    if (part.isEmpty()) return;
    if (erase) previewFrame->EraseOnNextPaint();
    previewFrame->update(part.translated(-previewFrame->pos()));
}

void CLumivexDlg::OnHScroll(int code, int32_t, TrackBar* scrollBar) {
    if (code != kScrollThumbPosition && code != kScrollThumbTrack) return;
    UpdateData(1);
    const int32_t final = code == kScrollThumbPosition ? 1 : 0;
    const int32_t position = scrollBar->GetPos();
    for (const AdjustmentSpec& row : kAdjustments) {
        if (scrollBar != Slider(row.id)) continue;
        if (OnAdjustmentChanged(row.id, final, position)) InvalidateClientRect(invalidArea, 0);
        return;
    }
}

TrackBar* CLumivexDlg::Slider(AdjustmentId id) const {
    return static_cast<TrackBar*>(controls.Item(kIdBrightnessSlider + static_cast<int32_t>(id)));
}

void CLumivexDlg::OnBandButton(int32_t band) {
    UpdateData(1);
    selectedBand = band;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand) Slider(row.id)->SetPos(AdjustmentPosition(row.id));
    }
    UpdateData(0);
}

void CLumivexDlg::SelectWhiteBalance(WhiteBalanceMode mode) {
    UpdateData(1);
    wbMode = mode;
    needsApply = 1;
    InvalidateClientRect(invalidArea, 0);
}

void CLumivexDlg::OnWbOff() {
    SelectWhiteBalance(WhiteBalanceMode::Off);
}

void CLumivexDlg::OnWbAuto() {
    SelectWhiteBalance(WhiteBalanceMode::Automatic);
}

void CLumivexDlg::OnWbSpot() {
    SelectWhiteBalance(WhiteBalanceMode::Spot);
}

void CLumivexDlg::OnReset() {
    UpdateData(1);
    wbRadio = static_cast<int32_t>(WhiteBalanceMode::Off);
    ResetAdjustments();
    needsApply = 1;
    InvalidateClientRect(invalidArea, 0);
    UpdateData(0);
}

void CLumivexDlg::ResetAdjustments() {
    AdjustmentState::ResetAdjustments();
    for (const AdjustmentSpec& row : kAdjustments) Slider(row.id)->SetPos(row.neutral);
}

void CLumivexDlg::OnLButtonDown(uint32_t, Point point) {
    UpdateData(1);
    if (wbRadio != static_cast<int32_t>(WhiteBalanceMode::Spot)) return;
    if (photoWidth == 0 || photoHeight == 0) return;
    const int32_t shownWidth = imageRect.right - imageRect.left + 1;
    const int32_t shownHeight = imageRect.bottom - imageRect.top + 1;
    // A photo fitted to nothing on screen cannot be clicked.
    if (shownWidth < 1 || shownHeight < 1) return;
    const double fx =
        static_cast<double>(point.x - previewArea.left - imageRect.left) * photoWidth / shownWidth;
    const double fy =
        static_cast<double>(point.y - previewArea.top - imageRect.top) * photoHeight / shownHeight;
    // Compared before truncating, so that far-off clicks cannot overflow the conversion; what
    // passes truncates into 0 .. photoWidth - 1 and 0 .. photoHeight - 1.
    if (fx <= -1.0 || fy <= -1.0 || fx >= photoWidth || fy >= photoHeight) return;
    PickSpotWhiteBalance(static_cast<int32_t>(fx), static_cast<int32_t>(fy));
    needsApply = 1;
    InvalidateClientRect(invalidArea, 0);
}

void CLumivexDlg::ApplyAdjustments(int32_t useProxyPair) {
    if (!needsApply) return;
    std::unique_ptr<BusyCursor> busy;
    if (!useProxyPair) busy = std::make_unique<BusyCursor>();
    CImgBuff* result =
        ApplyAdjustmentStages(useProxyPair, brightnessSlider->GetPos(), vividnessSlider->GetPos());
    if (!result) return;
    displayDib = MakeDisplayDib(result, displayDib);
    ++displayGeneration;
}
