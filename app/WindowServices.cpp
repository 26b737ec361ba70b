#include "app/WindowServices.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleOptionSlider>
#include <QStylePainter>
#include <QToolTip>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <utility>

#include "correct/CorrectPhotoFile.h"
#include "imageio/JpegEncoder.h"
#include "imageio/PhotoFormats.h"

int32_t MulDivRound(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return 0;
    const int64_t product = static_cast<int64_t>(a) * b;
    const bool negative = (product < 0) != (c < 0);
    const int64_t magnitude = std::llabs(product);
    const int64_t divisor = std::llabs(static_cast<int64_t>(c));
    const int64_t quotient = (magnitude + divisor / 2) / divisor;
    return static_cast<int32_t>(negative ? -quotient : quotient);
}

DialogBaseUnits MeasureDialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogBaseUnits{(width / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const DialogBaseUnits& units, int32_t x, int32_t y, int32_t cx, int32_t cy) {
    return QRect(MulDivRound(x, units.x, 4), MulDivRound(y, units.y, 8),
                 MulDivRound(cx, units.x, 4), MulDivRound(cy, units.y, 8));
}

void InstallDialogFontSubstitution() {
    QFont::insertSubstitutions(QStringLiteral("MS UI Gothic"), {QStringLiteral("IPAGothic")});
}

QFont DialogFont(const char* face, int pointSize) {
    QFont font(QString::fromUtf8(face));
    font.setPointSize(pointSize);
    return font;
}

QWidget* DialogControls::Item(int32_t id) const {
    const auto found = byId.find(id);
    return found == byId.end() ? nullptr : found->second;
}

namespace {

// One control of a template; radio buttons join group, or start a new one in out.
QWidget* MakeControl(QWidget* client, const ControlTemplate& control, QButtonGroup*& group,
                     DialogControls& out) {
    const QString text = QString::fromUtf8(control.text ? control.text : "");
    QWidget* widget = nullptr;
    switch (control.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: {
            auto* button = new QPushButton(text, client);
            // A focused push button takes Enter, as in the native dialog manager.
            button->setAutoDefault(true);
            button->setDefault(control.kind == ControlKind::DefaultPushButton);
            widget = button;
            break;
        }
        case ControlKind::RadioButton: {
            auto* button = new QPushButton(client);
            button->setCheckable(true);
            button->setAutoDefault(false);
            if (control.style & kControlBitmap) {
                button->setAccessibleName(text);
            } else {
                button->setText(text);
            }
            if (!group || (control.style & kControlGroupStart)) {
                group = new QButtonGroup(client);
                group->setExclusive(true);
                out.radioGroups.push_back(group);
            }
            group->addButton(button, control.id);
            widget = button;
            break;
        }
        case ControlKind::StaticText: {
            auto* label = new QLabel(text, client);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(true);
            label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            widget = label;
            break;
        }
        case ControlKind::BlackFrame:
            widget = new BlackFrame(client);
            break;
        case ControlKind::TrackBar:
            widget = new TrackBar(client);
            break;
        case ControlKind::StaticIcon: {
            auto* label = new QLabel(client);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = label;
            break;
        }
    }
    return widget;
}

}  // namespace

DialogControls CreateDialogControls(QWidget* client, const DialogTemplate& dialog,
                                    const std::map<int32_t, QWidget*>& own) {
    DialogControls out;
    out.units = MeasureDialogBaseUnits(client->font());
    QButtonGroup* group = nullptr;
    for (int32_t i = 0; i < dialog.controlCount; ++i) {
        const ControlTemplate& control = dialog.controls[i];
        if (control.kind != ControlKind::RadioButton) group = nullptr;
        QWidget* widget = nullptr;
        if (const auto owned = own.find(control.id); owned != own.end()) {
            widget = owned->second;
            widget->setParent(client);
        } else {
            widget = MakeControl(client, control, group, out);
        }
        widget->setGeometry(MapDialogRect(out.units, control.x, control.y, control.cx, control.cy));
        if (control.id != -1) out.byId[control.id] = widget;
    }
    return out;
}

namespace {

// The scroll codes of the actions keys and channel clicks trigger. Drag moves arrive through
// sliderMoved; snapping and idle repeats say nothing.
constexpr std::pair<int, ScrollCode> kActionScrollCodes[] = {
    {QAbstractSlider::SliderSingleStepSub, kScrollLineUp},
    {QAbstractSlider::SliderSingleStepAdd, kScrollLineDown},
    {QAbstractSlider::SliderPageStepSub, kScrollPageUp},
    {QAbstractSlider::SliderPageStepAdd, kScrollPageDown},
    {QAbstractSlider::SliderToMinimum, kScrollTop},
    {QAbstractSlider::SliderToMaximum, kScrollBottom},
};

}  // namespace

TrackBar::TrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    // Keeps the room for ticks above the groove; the ticks themselves are drawn here.
    setTickPosition(QSlider::TicksAbove);
    setFocusPolicy(Qt::StrongFocus);
    setSingleStep(1);
    SetRange(0, 100);
    connect(this, &QSlider::sliderMoved, this, [this](int position) {
        QToolTip::showText(mapToGlobal(QPoint(TickX(position), 0)), QString::number(position),
                           this);
        emit scrolled(kScrollThumbTrack);
    });
    connect(this, &QSlider::sliderReleased, this, [this] { emit scrolled(kScrollThumbPosition); });
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int action) {
        // The wheel and a held press on the channel move the thumb without dragging it; the
        // position has moved, the value not yet.
        if (action == SliderMove && !isSliderDown()) {
            emit scrolled(sliderPosition() < value() ? kScrollLineUp : kScrollLineDown);
            return;
        }
        for (const auto& [reported, code] : kActionScrollCodes) {
            if (reported == action) emit scrolled(code);
        }
    });
    connect(this, &QAbstractSlider::valueChanged, this,
            [this](int position) { setToolTip(QString::number(position)); });
}

void TrackBar::SetRange(int32_t minimum, int32_t maximum) {
    setRange(minimum, maximum);
    setPageStep(std::max<int32_t>(1, (maximum - minimum) / 5));
    setToolTip(QString::number(value()));
    update();
}

void TrackBar::SetTic(int32_t position) {
    if (position < minimum() || position > maximum()) return;
    tics.push_back(position);
    update();
}

void TrackBar::SetPos(int32_t position) {
    setValue(position);
}

int32_t TrackBar::GetPos() const {
    return sliderPosition();
}

std::vector<int32_t> TrackBar::TickPositions() const {
    std::vector<int32_t> all = tics;
    all.push_back(minimum());
    all.push_back(maximum());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

int32_t TrackBar::TickX(int32_t position) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const int length = style()->pixelMetric(QStyle::PM_SliderLength, &option, this);
    return groove.x() + length / 2 +
           QStyle::sliderPositionFromValue(minimum(), maximum(), position, groove.width() - length,
                                           option.upsideDown);
}

void TrackBar::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    if (isSliderDown()) {
        option.activeSubControls = QStyle::SC_SliderHandle;
        option.state |= QStyle::State_Sunken;
    }
    painter.drawComplexControl(QStyle::CC_Slider, option);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    painter.setPen(palette().color(QPalette::WindowText));
    for (int32_t position : TickPositions()) {
        const int x = TickX(position);
        painter.drawLine(x, handle.top() - 5, x, handle.top() - 2);
    }
}

// A focused slider keeps Page Up and Page Down, which elsewhere step through the folder's photos.
bool TrackBar::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
            event->accept();
            return true;
        }
    }
    return QSlider::event(event);
}

void TrackBar::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    emit doubleClicked();
}

QCursor EyedropperCursor() {
    QPixmap picture(24, 24);
    picture.fill(Qt::transparent);
    QPainter dc(&picture);
    dc.setRenderHint(QPainter::Antialiasing);
    // The glass from the tip up to the bulb, outlined so that it shows on any photo.
    for (const auto& [colour, width] :
         {std::pair{QColor(Qt::white), 5.0}, {QColor(Qt::black), 2.5}}) {
        dc.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
        dc.drawLine(QPointF(2.5, 21.5), QPointF(15, 9));
    }
    dc.setPen(QPen(Qt::white, 1.5));
    dc.setBrush(Qt::black);
    dc.drawEllipse(QPointF(17.5, 6.5), 4.5, 4.5);
    dc.end();
    return QCursor(picture, 2, 21);
}

BlackFrame::BlackFrame(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    QPalette black = palette();
    black.setColor(QPalette::WindowText, Qt::black);
    setPalette(black);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Clicks go to the dialog underneath, in its own coordinates.
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void BlackFrame::SetPaintHook(std::function<void(QPainter&)> hook) {
    paintHook = std::move(hook);
}

void BlackFrame::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        if (erasePending) {
            painter.fillRect(rect(), palette().color(QPalette::Window));
            erasePending = false;
        }
        if (paintHook) paintHook(painter);
    }
    // The border goes on top of whatever the owner painted.
    QFrame::paintEvent(event);
}

void BlackFrame::resizeEvent(QResizeEvent* event) {
    erasePending = true;
    QFrame::resizeEvent(event);
}

QStringList ConvertFileFilter(const char* filter) {
    const QStringList parts = QString::fromUtf8(filter ? filter : "").split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (patterns == QLatin1String("*.*")) patterns = QStringLiteral("*");
        out << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out;
}

std::unique_ptr<QFileDialog> MakeFileDialog(QWidget* parent, const FileDialogRequest& request) {
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    // The combo box shows each filter's own text, which already lists its patterns.
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    dialog->setNameFilters(ConvertFileFilter(request.filter));
    if (request.save) {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
        dialog->setWindowTitle(QStringLiteral("名前を付けて保存"));
    } else {
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        dialog->setFileMode(request.fileMustExist ? QFileDialog::ExistingFile
                                                  : QFileDialog::AnyFile);
        dialog->setWindowTitle(QStringLiteral("開く"));
    }
    if (request.defaultExtension)
        dialog->setDefaultSuffix(QString::fromUtf8(request.defaultExtension));
    dialog->setOption(QFileDialog::DontConfirmOverwrite, !request.overwritePrompt);
    if (!request.folder.empty()) dialog->setDirectory(QFile::decodeName(request.folder.c_str()));
    if (!request.fileName.empty()) dialog->selectFile(QFile::decodeName(request.fileName.c_str()));
    if (request.jpegQuality) {
        auto* quality = new QSpinBox(dialog.get());
        quality->setObjectName(QStringLiteral("jpegQuality"));
        quality->setRange(kLowestJpegQuality, kHighestJpegQuality);
        quality->setValue(*request.jpegQuality);
        auto* label = new QLabel(QStringLiteral("JPEG の画質(&Q):"), dialog.get());
        label->setBuddy(quality);
        // Qt's own dialog lays out its rows in a grid: the quality is one row more.
        auto* grid = static_cast<QGridLayout*>(dialog->layout());
        const int row = grid->rowCount();
        grid->addWidget(label, row, 0);
        grid->addWidget(quality, row, 1, Qt::AlignLeft);
    }
    return dialog;
}

int QtUserPrompts::RunFileDialog(QWidget* parent, const FileDialogRequest& request,
                                 std::string* path) {
    std::unique_ptr<QFileDialog> dialog = MakeFileDialog(parent, request);
    if (dialog->exec() != QDialog::Accepted) return 0;
    const QStringList files = dialog->selectedFiles();
    if (files.isEmpty()) return 0;
    if (path) *path = QFile::encodeName(files.first()).toStdString();
    if (request.jpegQuality)
        *request.jpegQuality = dialog->findChild<QSpinBox*>(QStringLiteral("jpegQuality"))->value();
    return 1;
}

int QtUserPrompts::ChooseApplyToMany(QWidget* parent, const FileDialogRequest& photos,
                                     ApplyToManyRequest* request) {
    std::unique_ptr<QFileDialog> files = MakeFileDialog(parent, photos);
    files->setFileMode(QFileDialog::ExistingFiles);
    files->setWindowTitle(QStringLiteral("補正を適用する写真を選ぶ"));
    if (files->exec() != QDialog::Accepted || files->selectedFiles().isEmpty()) return 0;
    const QStringList chosen = files->selectedFiles();

    QDialog target(parent);
    target.setWindowTitle(QStringLiteral("他の写真にも適用"));
    // A folder of its own by default: outputs beside the originals could replace other photos.
    auto* folder =
        new QLineEdit(QFileInfo(chosen.first()).dir().filePath(QStringLiteral("補正済み")));
    auto* browse = new QPushButton(QStringLiteral("参照(&B)..."));
    auto* format = new QComboBox;
    for (const PhotoFormat& f : kPhotoFormats) {
        if (f.encoder == PhotoEncoder::None) continue;
        const QString extension = QString::fromUtf8(f.extensions[0]);
        format->addItem(QString::fromUtf8(f.name) + " (*." + extension + ")", extension);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folder, 1);
    folderRow->addWidget(browse);
    auto* form = new QFormLayout(&target);
    form->addRow(new QLabel(QString::number(chosen.size()) +
                            QStringLiteral(" 枚の写真を補正して保存します。")));
    form->addRow(QStringLiteral("保存先フォルダ(&F):"), folderRow);
    form->addRow(QStringLiteral("形式(&T):"), format);
    form->addRow(buttons);
    QObject::connect(browse, &QPushButton::clicked, &target, [&] {
        const QString picked = QFileDialog::getExistingDirectory(
            &target, QStringLiteral("保存先フォルダ"), folder->text(),
            QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
        if (!picked.isEmpty()) folder->setText(picked);
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &target, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &target, &QDialog::reject);
    if (target.exec() != QDialog::Accepted || folder->text().isEmpty()) return 0;

    request->photos.clear();
    for (const QString& file : chosen)
        request->photos.push_back(QFile::encodeName(file).toStdString());
    request->folder = QFile::encodeName(folder->text()).toStdString();
    request->format = format->currentData().toString().toStdString();
    return 1;
}

void QtUserPrompts::ShowMessage(QWidget* parent, const char* text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationName),
                    QString::fromUtf8(text), QMessageBox::Ok, parent);
    box.exec();
}

SaveChangesAnswer QtUserPrompts::AskToSaveChanges(QWidget* parent) {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(kApplicationName),
                    QStringLiteral("補正した写真を保存しますか?"), QMessageBox::NoButton, parent);
    QPushButton* save = box.addButton(QStringLiteral("保存"), QMessageBox::AcceptRole);
    QPushButton* discard =
        box.addButton(QStringLiteral("保存しない"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) return SaveChangesAnswer::Save;
    if (box.clickedButton() == discard) return SaveChangesAnswer::Discard;
    return SaveChangesAnswer::Cancel;
}

// Replacing is never the default: Enter keeps the files.
bool QtUserPrompts::AskToReplace(QWidget* parent, const char* question) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kApplicationName),
                    QString::fromUtf8(question), QMessageBox::NoButton, parent);
    QPushButton* replace = box.addButton(QStringLiteral("置き換える"), QMessageBox::AcceptRole);
    QPushButton* keep = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == replace;
}

BusyCursor::BusyCursor() {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

BusyCursor::~BusyCursor() {
    QApplication::restoreOverrideCursor();
}

void RunWhileWindowPaints(const std::function<void()>& work) {
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
}
