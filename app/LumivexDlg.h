// The main dialog: owns the photo, the adjustment state and every control; turns control
// changes into adjustments, paints the fitted preview, opens and saves photos.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QImage>

#include <cstdint>
#include <memory>

#include "adjust/Pipeline.h"
#include "app/WindowServices.h"
#include "app/display/DisplayDib.h"

class QMenu;
class QMenuBar;
class QPushButton;

// The quarter-size copy of the photo that sliders work on while a thumb is dragged: each proxy
// pixel takes the mean saturation and value of a 4 x 4 block and the hue of its bottom-right
// pixel (averaging hues across red would be meaningless).
struct ProxyDownscaleContext {
    CImgBuff* source;
    CImgBuff* destination;
    int32_t proxyWidth;
    int32_t factor;  // 4
};

// Items are proxy rows.
void ProxyDownscaleTask(void* context, uint32_t first, uint32_t count);

// Window size kinds that OnSize receives.
enum : int32_t {
    kSizeRestored = 0,
    kSizeMinimized = 1,
    kSizeMaximized = 2,
};

// The engine's members (images, curves, band table, caches, flags) come from AdjustmentState,
// which the dialog shares with the batch tool; the members below follow them.
class CLumivexDlg : public QDialog, public AdjustmentState {
  public:
    // prompts: the file dialogs and message boxes to use; null for the real ones. Builds the
    // window from its template and initialises it; exec() then runs it modally.
    explicit CLumivexDlg(UserPrompts* prompts = nullptr);
    ~CLumivexDlg() override;

    // Data exchange between the controls and wbRadio: saveAndValidate 1 reads the controls,
    // 0 writes them. Returns 0 when selectedBand is outside 0..5.
    int UpdateData(int saveAndValidate);
    int OnInitDialog();

    // The message map's handlers.
    void OnSysCommand(int32_t id);
    void OnPaint(QPainter& frameDc);
    void OnIgnoreCommand() {}
    void OnClose();
    void OnOpenPhoto();
    void OnSavePhoto();
    void OnBandButton(int32_t band);
    void OnHScroll(int code, int32_t position, TrackBar* scrollBar);
    void OnSize(int32_t type, int32_t cx, int32_t cy);
    void OnReset();
    void OnAbout();
    void OnWbOff();
    void OnWbAuto();
    void OnWbSpot();
    void OnLButtonDown(uint32_t flags, Point point);

    // Runs the pipeline on the proxy pair (useProxy 1) or the full pair (0) when a parameter
    // changed, and remakes displayDib from the result.
    virtual void ApplyAdjustments(int32_t useProxy);
    // Neutral engine state and every thumb at its neutral position.
    void ResetAdjustments();
    void MakeProxySource();

    void LayoutPreview();
    // Fits src's aspect ratio into dest (both inclusive), centred from 0.
    static Rect FitRect(Rect dest, Rect src);
    // Stretches src of dib (inclusive, rows from the top) over dest (inclusive) with area
    // averaging. The stretched picture is kept until the bitmap or the rectangles change.
    // Returns 1 when drawn.
    int DrawDib(QPainter* dc, DibHeader* dib, const Rect* dest, const Rect* src);

    // Dispatches a command (control or menu ID) through the message map.
    void OnCommand(int32_t id);
    // Invalidates a rectangle of the client area (right and bottom exclusive).
    void InvalidateClientRect(const Rect& rect, int erase);
    // The area below the menu bar in which the template's controls are placed.
    QWidget* ClientArea() const { return client; }
    QMenuBar* MenuBar() const { return menuBar; }
    QMenu* WindowMenu() const { return systemMenu; }

    int32_t photoWidth = 0;
    int32_t photoHeight = 0;
    DibHeader* displayDib = nullptr;
    Rect previewArea;
    Rect invalidArea;
    Rect imageRect;
    Rect marginRect1;
    Rect marginRect2;
    Point frameOffset;
    QIcon appIcon;
    TrackBar* brightnessSlider = nullptr;
    TrackBar* vividnessSlider = nullptr;
    TrackBar* addLightSlider = nullptr;
    TrackBar* suppressLightSlider = nullptr;
    TrackBar* bandHueSlider = nullptr;
    TrackBar* bandVividnessSlider = nullptr;
    TrackBar* bandBrightnessSlider = nullptr;
    BlackFrame* previewFrame = nullptr;
    QPushButton* bandButtons[6] = {};
    int32_t wbRadio = 0;  // the pressed white-balance button, in WhiteBalanceMode order

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void DoDataExchange(int saveAndValidate);
    // The white-balance buttons: store the mode and repaint.
    void SelectWhiteBalance(WhiteBalanceMode mode);
    TrackBar* Slider(AdjustmentId id) const;
    void CreateFromTemplate();
    void ConnectMessageMap();

    UserPrompts* prompts;
    std::unique_ptr<UserPrompts> ownPrompts;
    QMenuBar* menuBar = nullptr;
    QMenu* systemMenu = nullptr;
    QWidget* client = nullptr;
    DialogControls controls;
    QButtonGroup* wbGroup = nullptr;

    // Counts the bitmaps the pipeline has made, so that a bitmap refilled in place is not
    // mistaken for the one already stretched.
    uint64_t displayGeneration = 0;
    struct StretchedPreview {
        const DibHeader* dib = nullptr;
        uint64_t generation = 0;
        Rect src;
        int32_t width = 0;
        int32_t height = 0;
        QImage picture;
    } stretched;
};
