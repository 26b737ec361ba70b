// The main dialog's inner parts, opened for tests and benchmarks: its handlers, engine,
// controls and preview, which the program itself reaches only through the window.
#pragma once

#include "app/LumivexDlg.h"
#include "app/PreviewFrame.h"

class CLumivexDlgTesting : public CLumivexDlg {
  public:
    using CLumivexDlg::CLumivexDlg;

    using CLumivexDlg::OnHScroll;
    using CLumivexDlg::OnOpenPhoto;
    using CLumivexDlg::OnPreviewRendered;
    using CLumivexDlg::OnSavePhoto;
    using CLumivexDlg::OnZoom;
    using CLumivexDlg::RequestPreview;

    using CLumivexDlg::addLightSlider;
    using CLumivexDlg::afterLabel;
    using CLumivexDlg::appIcon;
    using CLumivexDlg::bandBrightnessSlider;
    using CLumivexDlg::bandButtons;
    using CLumivexDlg::bandHueSlider;
    using CLumivexDlg::bandVividnessSlider;
    using CLumivexDlg::beforeLabel;
    using CLumivexDlg::brightnessSlider;
    using CLumivexDlg::client;
    using CLumivexDlg::compareButton;
    using CLumivexDlg::controlsScroll;
    using CLumivexDlg::engine;
    using CLumivexDlg::menuBar;
    using CLumivexDlg::numberBoxes;
    using CLumivexDlg::photoHeight;
    using CLumivexDlg::photoWidth;
    using CLumivexDlg::previewFrame;
    using CLumivexDlg::readScreenProfile;
    using CLumivexDlg::recentMenu;
    using CLumivexDlg::renderer;
    using CLumivexDlg::screenColour;
    using CLumivexDlg::shownPreview;
    using CLumivexDlg::statusBar;
    using CLumivexDlg::suppressLightSlider;
    using CLumivexDlg::systemMenu;
    using CLumivexDlg::vividnessSlider;
    using CLumivexDlg::zoomLabel;
};
