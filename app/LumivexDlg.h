// The main dialog: owns the photo's adjustment state, the preview's renderer and every control;
// turns control changes into adjustments, asks the renderer for the preview, opens and saves
// photos. No pixel pass runs on its thread: the preview renders on the renderer's thread, and
// opening and saving run beside the window while it keeps painting.
#pragma once

#include <QDialog>
#include <QIcon>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "adjust/Pipeline.h"
#include "app/AdjustmentHistory.h"
#include "app/PreviewRenderer.h"
#include "app/ScreenProfile.h"
#include "app/WindowServices.h"
#include "imageio/PhotoFile.h"
#include "imageio/PhotoMetadata.h"

class ApplyToManyRun;
class CPreviewFrame;
class QMenu;
class QLabel;
class QMenuBar;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QSettings;
class QStatusBar;
class QToolButton;
class QUndoStack;

class CLumivexDlg : public QDialog {
  public:
    // prompts: the file dialogs and message boxes to use; null for the real ones. Builds the
    // window from its template and initialises it; exec() then runs it modally.
    explicit CLumivexDlg(UserPrompts* prompts = nullptr);
    ~CLumivexDlg() override;

    // Opens a photo file (path as the file system's bytes) as the open command does once it
    // has a name: for a photo given on the command line or dropped on the window.
    void OpenPhotoFile(const std::string& path);

  protected:
    // Data exchange between the controls and wbRadio: saveAndValidate 1 reads the controls,
    // 0 writes them. Returns 0 when selectedBand is outside 0..5.
    int UpdateData(int saveAndValidate);
    void OnInitDialog();

    // The message map's handlers.
    void OnSysCommand(int32_t id);
    void OnPaint(QPainter& frameDc);
    void OnIgnoreCommand() {}
    void OnClose();
    void OnOpenPhoto();
    // The next (step 1) or previous (step -1) photo of the folder the last photo was opened
    // from, in name order.
    void OnStepPhoto(int step);
    void OnSavePhoto();
    void OnBandButton(int32_t band);
    void OnHScroll(int code, TrackBar* scrollBar);
    void OnSize();
    void OnReset();
    void OnAbout();
    void OnWbOff();
    void OnWbAuto();
    void OnWbSpot();
    void OnLButtonDown(Point point);
    void OnUndo();
    void OnRedo();
    void OnExit();
    // The corrections as a settings file, and given to other photos.
    void OnExportSettings();
    void OnImportSettings();
    void OnApplyToMany();
    // The menu's toggles; the view's state follows the item's check mark.
    void OnShowOriginal();
    void OnHistogram();
    // The zoom commands of the view menu: fitted, one photo pixel a device pixel, a step in or
    // out around the preview's centre.
    void OnZoom(int32_t id);
    // The image menu: turns the photo as it stands by step, one undo step.
    void OnTurn(ImageTurn step);

    // Asks the renderer for the preview as the engine, the view and the compare key have it:
    // the proxy while a thumb is dragged at the fitted scale, then the photo itself.
    void RequestPreview();
    // A picture the renderer finished; shown unless a newer request superseded it.
    void OnPreviewRendered(RenderedPreview picture);

    // Dispatches a command (control or menu ID) through the message map.
    void OnCommand(int32_t id);

    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    AdjustmentState engine;
    std::unique_ptr<PreviewRenderer> renderer;
    uint64_t requestedPreview = 0;                // the serial of the newest request
    std::optional<RenderedPreview> shownPreview;  // what the preview paints
    PhotoOrigin photoOrigin;  // the open photo's metadata, profile and precision, for saving
    std::string photoPath;    // the open photo's file, as the file system's bytes
    // The photo last asked for, opened or not: next and previous step from it, so that a photo
    // that fails to load is passed over.
    std::string steppedPath;
    // The photo pixel of the last spot picked, marked on the preview while spot mode is on.
    std::optional<Point> spotPixel;
    QMenu* recentMenu = nullptr;
    // From the open photo's colour profile to the screen's; null when the colours stay as they are.
    std::shared_ptr<const DisplayColour> screenColour;
    // The screen's colour profile, read when a photo opens; tests replace it.
    std::function<QByteArray()> readScreenProfile = ReadScreenProfile;
    bool originalKeyHeld = false;
    int32_t photoWidth = 0;
    int32_t photoHeight = 0;
    QIcon appIcon;
    TrackBar* brightnessSlider = nullptr;
    TrackBar* vividnessSlider = nullptr;
    TrackBar* addLightSlider = nullptr;
    TrackBar* suppressLightSlider = nullptr;
    TrackBar* bandHueSlider = nullptr;
    TrackBar* bandVividnessSlider = nullptr;
    TrackBar* bandBrightnessSlider = nullptr;
    QSpinBox* numberBoxes[kAdjustmentCount] = {};  // beside the sliders, in adjustment order
    CPreviewFrame* previewFrame = nullptr;
    QPushButton* bandButtons[6] = {};
    int32_t wbRadio = 0;  // the pressed white-balance button, in WhiteBalanceMode order
    // The area below the menu bar in which the template's controls are placed.
    QWidget* client = nullptr;
    QScrollArea* controlsScroll = nullptr;  // the controls' column, in client
    QMenuBar* menuBar = nullptr;
    QStatusBar* statusBar = nullptr;
    QLabel* zoomLabel = nullptr;
    // Pressed and held, the photo as loaded, as the backslash key shows it.
    QToolButton* compareButton = nullptr;
    // On the preview while it shows the photo as loaded, in whole or on the left.
    QLabel* beforeLabel = nullptr;
    QLabel* afterLabel = nullptr;
    QMenu* systemMenu = nullptr;
    QUndoStack* history = nullptr;

  private:
    void DoDataExchange(int saveAndValidate);
    // The white-balance buttons: store the mode and repaint.
    void SelectWhiteBalance(WhiteBalanceMode mode);
    TrackBar* Slider(AdjustmentId id) const;
    // Neutral engine state and every thumb at its neutral position.
    void ResetAdjustments();
    // Fits the preview to the photo's size.
    void LayoutPreview();
    // The zoom as the status bar says it.
    void ShowZoom();
    // The window's size, place and zoom from the last run, or 80 % of the screen.
    void RestoreWindowState();
    void SaveWindowState();
    bool ShowingOriginal() const;
    // In spot mode the preview takes the eyedropper cursor.
    void ShowSpotCursor();
    // The 補正前 and 補正後 labels placed and shown as the preview compares.
    void ShowCompareLabels(int splitAt);
    // Invalidates a rectangle of the client area (right and bottom exclusive).
    void InvalidateClientRect(const Rect& rect, int erase);
    void CreateFromTemplate();
    void CreateMenus();
    void ConnectMessageMap();
    // Saves the result under a name the user chooses; 1 when it was written.
    int SaveAdjustedPhoto();
    // Before the photo is closed or replaced: 1 to go on, after saving if the user wants to.
    int ConfirmSetAside();
    // Pushes one undo step when the adjustments differ from the last step's.
    void CommitAdjustments();
    // Brings the engine, the controls and the picture to a snapshot (undo and redo).
    void RestoreSnapshot(const CorrectionSettings& snapshot);
    // Moves every thumb and the white-balance buttons to the engine's values and repaints.
    void ShowAdjustments();
    // Takes corrections whole (undo, settings files) and shows them.
    void TakeCorrections(const CorrectionSettings& settings);
    // Makes the open photo stand as turn says, turned beside the window; false when memory is
    // short.
    bool TurnPhoto(ImageTurn turn);
    CorrectionSettings Snapshot();
    QAction* MenuAction(int32_t id) const;
    // A failed open or save: message, then why.
    void ShowFailure(const char* message, const PhotoError& failure);
    // The save commands work only with a photo open.
    void EnableSave(bool enable);
    // The photos opened last, newest first, as the 最近使ったファイル menu lists them.
    void RememberRecentPhoto(const std::string& path);
    void FillRecentMenu();

    UserPrompts* prompts;
    std::unique_ptr<QSettings> remembered;  // what the window keeps from one run to the next
    std::unique_ptr<UserPrompts> ownPrompts;
    DialogControls controls;
    QButtonGroup* wbGroup = nullptr;
    CorrectionSettings committed;              // the adjustments as of the last undo step
    std::unique_ptr<ApplyToManyRun> applyRun;  // while other photos are being corrected
    CorrectionSettings saved;                  // the adjustments when the photo was opened or saved
};
