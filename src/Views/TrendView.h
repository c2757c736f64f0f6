// The trend under the watch table: the rows ticked in the table drawn against one time axis over the
// last minute, ten minutes or hour, from the watch list's history. Numbers as lines, BOOLs as 0/1 steps;
// where a tag was stale or refused the line breaks. One value scale for all (with its labels at the
// left) or one per tag. Hovering shows the time and each value there; Pause freezes the time axis,
// and the wheel or a drag then moves back and forth through what is kept; Live follows the present
// again.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <imgui.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Widget.h>

#include "Views/TagInspector.h"

class TrendView : public zelk::ui::Widget {
public:
    explicit TrendView(zelk::ui::Widget* parent);

    void resized() override;

    // The colour of a row's line and legend entry.
    static uint32_t colourOf(uint8_t index);
    static constexpr int64_t windowChoicesNs[] = {60'000'000'000, 600'000'000'000, 3'600'000'000'000};

    zelk::ui::ImGuiPanel* getPanel() const { return panel; }
    // The plot's rectangle in the panel's coordinates as last drawn.
    ImVec4 getPlotRect() const { return plotRect; }
    int64_t getWindowNs() const { return windowChoicesNs[windowIndex]; }
    void setWindowIndex(int index) { windowIndex = index < 0 ? 0 : (index > 2 ? 2 : index); }
    bool isPaused() const { return paused; }
    void setPaused(bool value);
    // The time at the plot's right edge as last drawn (the clock's now while live).
    int64_t getEndNs() const { return endNs; }
    // Line segments drawn in the last frame (for tests and the benchmark).
    size_t getSegmentCount() const { return segments; }
    // The hint drawn in the plot in the last frame (with no row ticked); null when none.
    const char* getHint() const { return hint; }
    // The time labels' left and right edges as last drawn, left to right.
    const std::vector<std::pair<float, float>>& getTimeLabels() const { return timeLabels; }
    // The shared value scale as last drawn: the values at the plot's bottom and top edges.
    double getShownLow() const { return shownLow; }
    double getShownHigh() const { return shownHigh; }

private:
    void build();
    void drawPlot(const std::vector<const TagInspector::TagValue*>& rows, ImVec2 min, ImVec2 max);

    TagInspector* inspector;
    zelk::ui::ImGuiPanel* panel = nullptr;
    int windowIndex = 0;
    bool paused = false;
    bool perTagScale = false;
    int64_t endNs = 0;
    ImVec4 plotRect{0, 0, 0, 0};
    size_t segments = 0;
    const char* hint = nullptr;
    std::vector<std::pair<float, float>> timeLabels;
    // The lines as last computed, drawn again while the history, the axis and the rows stand.
    struct Line {
        ImVec2 a, b;
        uint32_t colour;
        bool dot;
    };
    std::vector<Line> lines;
    std::string linesKey;
    double shownLow = 0, shownHigh = 1;
};
