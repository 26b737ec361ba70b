// A thin window layer over Qt Widgets for the program's dialogs: controls built from templates
// measured in dialog units, trackbars with scroll codes and free tick marks, push-like radio
// groups, a black frame painted by its owner, file dialogs and message boxes behind a seam
// that tests replace, and the busy cursor.
#pragma once

#include <QButtonGroup>
#include <QCursor>
#include <QFileDialog>
#include <QFont>
#include <QFrame>
#include <QSlider>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QPainter;

// Rectangles and points in pixels, as the dialog code computes them. Whether right and bottom
// are inclusive depends on the rectangle; each use says so.
struct Rect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool operator==(const Rect&) const = default;
};

struct Point {
    int32_t x = 0;
    int32_t y = 0;
    bool operator==(const Point&) const = default;
};

// a * b / c rounded to the nearest integer, halves away from zero; 0 when c is 0.
int32_t MulDivRound(int32_t a, int32_t b, int32_t c);

// Horizontal and vertical base units of a dialog font: a dialog unit is x / 4 pixels across
// and y / 8 pixels down.
struct DialogBaseUnits {
    int32_t x = 0;
    int32_t y = 0;
};

// Average width of the 52 Latin letters, rounded as the dialog manager rounds it, and the
// font's line height.
DialogBaseUnits MeasureDialogBaseUnits(const QFont& font);

// A template rectangle in pixels; each of the four numbers is scaled on its own.
QRect MapDialogRect(const DialogBaseUnits& units, int32_t x, int32_t y, int32_t cx, int32_t cy);

// Maps the dialog font family, which Linux does not have, to a Japanese Gothic that the setup
// installs, so that kana and kanji never render as boxes. Call once before any dialog exists.
void InstallDialogFontSubstitution();

// The font of a dialog template at the screen's logical resolution.
QFont DialogFont(const char* face, int pointSize);

enum class ControlKind {
    PushButton,
    DefaultPushButton,
    RadioButton,  // push-like automatic radio button
    StaticText,   // left-aligned text, centred vertically
    BlackFrame,
    TrackBar,  // horizontal, ticks on top
    StaticIcon,
};

// Control styles beyond the kind.
enum : uint32_t {
    kControlGroupStart = 1u << 0,  // starts a new radio group
    kControlBitmap = 1u << 1,      // shows only its bitmap, not its text
};

struct ControlTemplate {
    int32_t id;  // -1 for controls nobody addresses
    ControlKind kind;
    const char* text;  // UTF-8
    int32_t x, y, cx, cy;
    uint32_t style;
};

struct DialogTemplate {
    const char* caption;
    int32_t cx, cy;  // client size in dialog units
    const char* fontFace;
    int32_t pointSize;
    const ControlTemplate* controls;
    int32_t controlCount;
};

// What a dialog's controls were built into. Widgets are owned by their Qt parent.
struct DialogControls {
    std::map<int32_t, QWidget*> byId;
    std::vector<QButtonGroup*> radioGroups;  // owned by the parent too
    DialogBaseUnits units;
    QWidget* Item(int32_t id) const;
};

// A pipette whose tip is the hot spot, for picking a colour.
QCursor EyedropperCursor();

// Creates the template's controls as children of client at their pixel rectangles, in
// template order (which is also the tab order), and returns them by ID. A control whose ID is in
// own is not created: that widget, a specialised control of the owner, is placed instead.
DialogControls CreateDialogControls(QWidget* client, const DialogTemplate& dialog,
                                    const std::map<int32_t, QWidget*>& own = {});

// The scroll codes a trackbar reports.
enum ScrollCode : int {
    kScrollLineUp = 0,
    kScrollLineDown = 1,
    kScrollPageUp = 2,
    kScrollPageDown = 3,
    kScrollThumbPosition = 4,  // the thumb was released
    kScrollThumbTrack = 5,     // the thumb is being dragged to a new position
    kScrollTop = 6,
    kScrollBottom = 7,
};

// Horizontal trackbar. Every thumb move by dragging reports kScrollThumbTrack, the release
// kScrollThumbPosition; keys, clicks on the channel and the wheel report the line, page and end
// codes. Moving the thumb from the program reports nothing. Its position shows in a tooltip on
// hover and while the thumb is dragged.
class TrackBar : public QSlider {
    Q_OBJECT
  public:
    explicit TrackBar(QWidget* parent);

    // Also sets the page size to a fifth of the range, as the native control does.
    void SetRange(int32_t minimum, int32_t maximum);
    // Adds a tick mark; the first and last positions always have one.
    void SetTic(int32_t position);
    void SetPos(int32_t position);
    int32_t GetPos() const;
    // Every tick drawn, in ascending order without repeats.
    std::vector<int32_t> TickPositions() const;
    // Pixel x of the tick (and of the thumb's centre) for position.
    int32_t TickX(int32_t position) const;

  signals:
    void scrolled(int code);
    void doubleClicked();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    std::vector<int32_t> tics;
};

// A static with a one-pixel black border whose inside its owner paints, without erasing:
// what the owner leaves unpainted keeps its earlier pixels, except after the frame was resized
// or an erase was asked for, when it starts from the window colour.
class BlackFrame : public QFrame {
  public:
    explicit BlackFrame(QWidget* parent);
    void SetPaintHook(std::function<void(QPainter&)> hook);
    void EraseOnNextPaint() { erasePending = true; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    std::function<void(QPainter&)> paintHook;
    bool erasePending = true;
};

// What the open and save commands ask of a file dialog. filter is in the form
// "text|patterns|text|patterns||" with patterns separated by semicolons.
struct FileDialogRequest {
    bool save = false;
    const char* filter = "";
    const char* defaultExtension = nullptr;  // without the dot; null for none
    bool fileMustExist = false;
    bool overwritePrompt = false;
    std::string folder;    // where the dialog starts, as the file system's bytes; empty: anywhere
    std::string fileName;  // the name it suggests, as the file system's bytes; empty for none
    // Set: the dialog offers the JPEG quality, starting at *jpegQuality, and stores the chosen
    // one there when the user accepts.
    int* jpegQuality = nullptr;
};

enum class SaveChangesAnswer { Save, Discard, Cancel };

// What "他の写真にも適用" asks for: the photos to correct and where and how to save them.
struct ApplyToManyRequest {
    std::vector<std::string> photos;  // paths as the file system holds them
    std::string folder;
    std::string format;  // the extension of the outputs, without the dot: jpg, png, tif or bmp
};

// The modal questions the program asks the user. Tests install their own.
class UserPrompts {
  public:
    virtual ~UserPrompts() = default;
    // 1 with the full path (UTF-8) when the user chose a file, 0 when cancelled.
    virtual int RunFileDialog(QWidget* parent, const FileDialogRequest& request,
                              std::string* path) = 0;
    // A message with one OK button, captioned with the application's name.
    virtual void ShowMessage(QWidget* parent, const char* text) = 0;
    // Asks whether to save the corrected photo before it is set aside.
    virtual SaveChangesAnswer AskToSaveChanges(QWidget* parent) = 0;
    // Photos (several may be chosen, in a dialog as photos asks), an output folder and a
    // format; 0 when cancelled.
    virtual int ChooseApplyToMany(QWidget* parent, const FileDialogRequest& photos,
                                  ApplyToManyRequest* request) = 0;
    // Asks question, which offers to replace files; true to replace them.
    virtual bool AskToReplace(QWidget* parent, const char* question) = 0;
};

// The real prompts: Qt's own file dialog (the same everywhere, filters without regard to case,
// the overwrite question asked after the default extension was added) and a message box.
class QtUserPrompts : public UserPrompts {
  public:
    int RunFileDialog(QWidget* parent, const FileDialogRequest& request,
                      std::string* path) override;
    void ShowMessage(QWidget* parent, const char* text) override;
    SaveChangesAnswer AskToSaveChanges(QWidget* parent) override;
    int ChooseApplyToMany(QWidget* parent, const FileDialogRequest& photos,
                          ApplyToManyRequest* request) override;
    bool AskToReplace(QWidget* parent, const char* question) override;
};

// "text|a;b|..||" -> {"text (a b)", ...}; "*.*" becomes "*" so that names without a dot show.
QStringList ConvertFileFilter(const char* filter);

// The configured, not yet shown file dialog that QtUserPrompts runs.
std::unique_ptr<QFileDialog> MakeFileDialog(QWidget* parent, const FileDialogRequest& request);

// The application's name, the caption of its message boxes.
inline constexpr const char* kApplicationName = "Lumivex";

// Shows the wait cursor for its lifetime; nests.
class BusyCursor {
  public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Runs work on a thread of its own and returns when it is done; meanwhile the calling (window)
// thread goes on painting and taking posted events, but no user input, which waits until then.
void RunWhileWindowPaints(const std::function<void()>& work);
