// The main dialog: owns the photo's adjustment state, the display bitmap and every control;
// turns control changes into adjustments, runs the pipeline for the preview, opens and saves
// photos.
#pragma once

#include <QDialog>
#include <QIcon>

#include <cstdint>
#include <memory>

#include "adjust/Pipeline.h"
#include "app/WindowServices.h"
#include "app/display/DisplayDib.h"

class CPreviewFrame;
class QMenu;
class QMenuBar;
class QPushButton;

class CLumivexDlg : public QDialog {
  public:
    // prompts: the file dialogs and message boxes to use; null for the real ones. Builds the
    // window from its template and initialises it; exec() then runs it modally.
    explicit CLumivexDlg(UserPrompts* prompts = nullptr);
    ~CLumivexDlg() override;

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

    // Runs the pipeline on the proxy pair (useProxy 1) or the full pair (0) when a parameter
    // changed, and remakes displayDib from the result.
    virtual void ApplyAdjustments(int32_t useProxy);

    // Dispatches a command (control or menu ID) through the message map.
    void OnCommand(int32_t id);

    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    AdjustmentState engine;
    DibHeader* displayDib = nullptr;
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
    CPreviewFrame* previewFrame = nullptr;
    QPushButton* bandButtons[6] = {};
    int32_t wbRadio = 0;  // the pressed white-balance button, in WhiteBalanceMode order
    // The area below the menu bar in which the template's controls are placed.
    QWidget* client = nullptr;
    QMenuBar* menuBar = nullptr;
    QMenu* systemMenu = nullptr;

  private:
    void DoDataExchange(int saveAndValidate);
    // The white-balance buttons: store the mode and repaint.
    void SelectWhiteBalance(WhiteBalanceMode mode);
    TrackBar* Slider(AdjustmentId id) const;
    // Neutral engine state and every thumb at its neutral position.
    void ResetAdjustments();
    // Fits the preview to the result's size.
    void LayoutPreview();
    // Invalidates a rectangle of the client area (right and bottom exclusive).
    void InvalidateClientRect(const Rect& rect, int erase);
    void CreateFromTemplate();
    void ConnectMessageMap();

    UserPrompts* prompts;
    std::unique_ptr<UserPrompts> ownPrompts;
    DialogControls controls;
    QButtonGroup* wbGroup = nullptr;
};
