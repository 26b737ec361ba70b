#include "app/LumivexDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>

#include <optional>

#include "app/AboutDlg.h"
#include "app/PreviewFrame.h"
#include "app/Resources.h"

namespace {

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
    appIcon = LoadAppIcon();
    CreateFromTemplate();
    ConnectMessageMap();
    OnInitDialog();
}

CLumivexDlg::~CLumivexDlg() {
    client->removeEventFilter(this);
    previewFrame->SetPaintHook(nullptr);
    FreeDisplayDib(displayDib);
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
    controls = CreateDialogControls(client, dialog, {{kIdPreviewFrame, new CPreviewFrame(client)}});
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
    for (const auto& [id, control] : controls.byId) {
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
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
                [this, slider](int code) { OnHScroll(code, slider); });
    }
    static_cast<BlackFrame*>(controls.Item(kIdPreviewFrame))->SetPaintHook([this](QPainter& dc) {
        OnPaint(dc);
    });
}

// Commands by control or menu ID. Enter and Esc arrive as kIdOk and kIdCancel and are
// swallowed, so only the close box ends the dialog.
void CLumivexDlg::OnCommand(int32_t id) {
    switch (id) {
        case kIdOk:
        case kIdCancel:
            return OnIgnoreCommand();
        case kIdOpenPhoto:
            return OnOpenPhoto();
        case kIdSavePhoto:
            return OnSavePhoto();
        case kIdReset:
            return OnReset();
        case kIdAbout:
            return OnAbout();
        case kIdWbOff:
            return OnWbOff();
        case kIdWbAuto:
            return OnWbAuto();
        case kIdWbSpot:
            return OnWbSpot();
        default:
            if (id >= kIdBandRed && id < kIdBandRed + kColorBandCount)
                OnBandButton(id - kIdBandRed);
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
            OnSize();
        } else if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                const QPoint at = mouse->position().toPoint();
                OnLButtonDown(Point{at.x(), at.y()});
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
        previewFrame = static_cast<CPreviewFrame*>(controls.Item(kIdPreviewFrame));
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
    return engine.selectedBand >= 0 && engine.selectedBand <= 5;
}

void CLumivexDlg::OnInitDialog() {
    UpdateData(0);

    const char* aboutText = LoadResourceString(kAboutMenuString);
    if (*aboutText) {
        systemMenu = new QMenu(this);
        systemMenu->addSeparator();
        QAction* about = systemMenu->addAction(QString::fromUtf8(aboutText));
        about->setData(kSysCommandAbout);
    }

    setWindowIcon(appIcon);
    engine.needsApply = 1;

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

    LayoutPreview();
    ResetAdjustments();
    UpdateData(0);
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

void CLumivexDlg::OnHScroll(int code, TrackBar* scrollBar) {
    if (code != kScrollThumbPosition && code != kScrollThumbTrack) return;
    UpdateData(1);
    const int32_t final = code == kScrollThumbPosition ? 1 : 0;
    const int32_t position = scrollBar->GetPos();
    for (const AdjustmentSpec& row : kAdjustments) {
        if (scrollBar != Slider(row.id)) continue;
        if (engine.OnAdjustmentChanged(row.id, final, position))
            InvalidateClientRect(previewFrame->Geometry().invalidArea, 0);
        return;
    }
}

TrackBar* CLumivexDlg::Slider(AdjustmentId id) const {
    return static_cast<TrackBar*>(controls.Item(kIdBrightnessSlider + static_cast<int32_t>(id)));
}

void CLumivexDlg::OnBandButton(int32_t band) {
    UpdateData(1);
    engine.selectedBand = band;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand) Slider(row.id)->SetPos(engine.AdjustmentPosition(row.id));
    }
    UpdateData(0);
}

void CLumivexDlg::SelectWhiteBalance(WhiteBalanceMode mode) {
    UpdateData(1);
    engine.wbMode = mode;
    engine.needsApply = 1;
    InvalidateClientRect(previewFrame->Geometry().invalidArea, 0);
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
    engine.needsApply = 1;
    InvalidateClientRect(previewFrame->Geometry().invalidArea, 0);
    UpdateData(0);
}

void CLumivexDlg::ResetAdjustments() {
    engine.ResetAdjustments();
    for (const AdjustmentSpec& row : kAdjustments) Slider(row.id)->SetPos(row.neutral);
}

void CLumivexDlg::OnLButtonDown(Point point) {
    UpdateData(1);
    if (wbRadio != static_cast<int32_t>(WhiteBalanceMode::Spot)) return;
    if (photoWidth == 0 || photoHeight == 0) return;
    Point pixel;
    if (!previewFrame->MapToPhoto(point, photoWidth, photoHeight, &pixel)) return;
    engine.PickSpotWhiteBalance(pixel.x, pixel.y);
    InvalidateClientRect(previewFrame->Geometry().invalidArea, 0);
}

void CLumivexDlg::ApplyAdjustments(int32_t useProxyPair) {
    if (!engine.needsApply) return;
    std::optional<BusyCursor> busy;
    if (!useProxyPair) busy.emplace();
    CImgBuff* result = engine.ApplyAdjustmentStages(useProxyPair);
    if (!result) return;
    displayDib = MakeDisplayDib(result, displayDib);
    previewFrame->DisplayBitmapChanged();
}

void CLumivexDlg::LayoutPreview() {
    int32_t width = 0, height = 0;
    engine.resultImage.buffer->GetInfo(&width, &height, nullptr, nullptr);
    previewFrame->LayoutPreview(width, height);
}

void CLumivexDlg::OnSize() {
    if (!previewFrame) return;  // the controls are not bound yet
    LayoutPreview();
    const CPreviewFrame::Layout& g = previewFrame->Geometry();
    previewFrame->resize(g.previewArea.right - g.previewArea.left,
                         g.previewArea.bottom - g.previewArea.top);
    InvalidateClientRect(g.previewArea, 0);
}

void CLumivexDlg::OnPaint(QPainter& frameDc) {
    if (!engine.sourceImage.buffer->GetInfo(nullptr, nullptr, nullptr, nullptr)) {
        previewFrame->PaintEmpty(frameDc);
        return;
    }
    ApplyAdjustments(engine.useProxy);
    int32_t w = 0, h = 0;
    (engine.useProxy ? engine.proxySource : engine.sourceImage)
        .buffer->GetInfo(&w, &h, nullptr, nullptr);
    previewFrame->PaintPhoto(frameDc, displayDib, w, h);
}
