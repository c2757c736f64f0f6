#include "Views/TrendView.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include <fmt/format.h>

#include "AppStyle.h"
#include "Platform.h"
#include "TrendHistory.h"

namespace {

constexpr float axisWidth = 64.0f;  // value labels at the left of the plot
constexpr float timeHeight = 18.0f; // time labels under it

constexpr uint32_t palette[] = {0x4E79A7, 0xF28E2B, 0xE15759, 0x76B7B2,
                                0x59A14F, 0xEDC948, 0xB07AA1, 0xFF9DA7};

std::string clockText(int64_t ns, bool seconds) {
    const std::time_t t = static_cast<std::time_t>(ns / 1'000'000'000);
    std::tm local{};
    platform::localTime(t, &local);
    return seconds ? fmt::format("{:02}:{:02}:{:02}", local.tm_hour, local.tm_min, local.tm_sec)
                   : fmt::format("{:02}:{:02}", local.tm_hour, local.tm_min);
}

// A tick step that gives about six labels over `span`, and at most `most`.
int64_t timeStep(int64_t span, int64_t most) {
    constexpr int64_t s = 1'000'000'000;
    for (int64_t step :
         {5 * s, 10 * s, 15 * s, 30 * s, 60 * s, 120 * s, 300 * s, 600 * s, 900 * s, 1800 * s}) {
        if (span / step <= std::min<int64_t>(7, most)) {
            return step;
        }
    }
    return 3600 * s;
}

std::string valueText(double v) {
    return fmt::format("{:.6g}", v);
}

struct Range {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    void take(double v) {
        if (std::isfinite(v)) {
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    bool empty() const { return low > high; }
};

} // namespace

TrendView::TrendView(zelk::ui::Widget* parent)
    : zelk::ui::Widget(parent), inspector(TagInspector::getInstance()) {
    const AppStyle* style = AppStyle::getInstance();
    panel = addHiddenChild<zelk::ui::ImGuiPanel>(zelk::ui::Vec2{0, 0}, getActualSize());
    style->applyToPanel(panel, style->getFontSizeSmall() * style->getImGuiFontScale());
    panel->setBuildImGuiFunction([this] { build(); });
}

void TrendView::resized() {
    zelk::ui::Widget::resized();
    panel->setPreferredSize(getActualSize());
}

uint32_t TrendView::colourOf(uint8_t index) {
    const uint32_t rgb = palette[index % (sizeof palette / sizeof palette[0])];
    return IM_COL32((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF, 0xFF);
}

void TrendView::setPaused(bool value) {
    paused = value;
    if (!paused) {
        endNs = inspector->now();
    }
}

void TrendView::build() {
    // The toolbar: the window, the scale, pause; then the legend in the rows' colours.
    const char* windows[] = {"1 min", "10 min", "1 h"};
    ImGui::SetCursorPos(ImVec2(6, 4));
    ImGui::SetNextItemWidth(90);
    ImGui::Combo("##window", &windowIndex, windows, 3);
    ImGui::SameLine();
    ImGui::Checkbox("Scale per tag", &perTagScale);
    ImGui::SameLine();
    if (ImGui::Button(paused ? "Live" : "Pause")) {
        setPaused(!paused);
    }
    if (paused) {
        // Beside the button, not over the curve.
        ImGui::SameLine();
        ImGui::TextColored(ImVec4(240 / 255.0f, 200 / 255.0f, 80 / 255.0f, 1), "paused");
    }
    std::vector<const TagInspector::TagValue*> rows;
    for (const auto& tag : inspector->getTags()) {
        if (tag.trended && !tag.isString) {
            rows.push_back(&tag);
        }
    }
    for (const auto* row : rows) {
        ImGui::SameLine(0, 14);
        const ImVec2 at = ImGui::GetCursorScreenPos();
        const float h = ImGui::GetTextLineHeight();
        ImGui::GetWindowDrawList()->AddRectFilled(ImVec2(at.x, at.y + 4), ImVec2(at.x + 10, at.y + h),
                                                  colourOf(row->colour));
        ImGui::Dummy(ImVec2(12, h));
        ImGui::SameLine(0, 4);
        ImGui::TextUnformatted(row->name.c_str());
    }
    const ImVec2 size = ImGui::GetIO().DisplaySize;
    const float top = ImGui::GetCursorPosY() + 6;
    const ImVec2 min(axisWidth, top);
    const ImVec2 max(size.x - 12, size.y - timeHeight - 4);
    plotRect = ImVec4(min.x, min.y, max.x, max.y);
    hint = nullptr;
    if (max.x - min.x < 20 || max.y - min.y < 20) {
        return;
    }
    hint = rows.empty() ? "Tick rows in the table to trend them" : nullptr;
    if (hint != nullptr) {
        ImGui::SetCursorPos(ImVec2(min.x + 8, min.y + 8));
        ImGui::TextDisabled("%s", hint);
    }
    drawPlot(rows, min, max);
}

void TrendView::drawPlot(const std::vector<const TagInspector::TagValue*>& rows, ImVec2 min, ImVec2 max) {
    ImDrawList* draw = ImGui::GetWindowDrawList();
    const AppStyle* style = AppStyle::getInstance();
    const TrendHistory& history = inspector->getHistory();
    const int64_t window = getWindowNs();
    const int64_t now = inspector->now();
    if (!paused) {
        // Live, the axis moves a whole pixel column at a time: frames between are the same picture,
        // which the window then neither draws nor presents again.
        const int64_t column = std::max<int64_t>(
            1, static_cast<int64_t>(static_cast<double>(window) / std::max(1.0f, max.x - min.x)));
        endNs = (now / column + 1) * column;
    }
    const ImGuiIO& io = ImGui::GetIO();
    const bool hovered = ImGui::IsWindowHovered() && io.MousePos.x >= min.x && io.MousePos.x <= max.x &&
                         io.MousePos.y >= min.y && io.MousePos.y <= max.y;
    if (hovered && paused) {
        // Paused: the wheel and a drag move through the kept history.
        int64_t shift = static_cast<int64_t>(-io.MouseWheel * static_cast<float>(window) / 10);
        if (ImGui::IsMouseDragging(0)) {
            shift -= static_cast<int64_t>(io.MouseDelta.x / (max.x - min.x) * static_cast<float>(window));
        }
        const int64_t oldest = history.oldestNs();
        endNs = std::clamp(endNs + shift, oldest > 0 ? oldest + window / 10 : endNs, now);
    }
    const int64_t start = endNs - window;
    const float width = max.x - min.x;
    auto xOf = [&](int64_t t) {
        return min.x +
               static_cast<float>(static_cast<double>(t - start) / static_cast<double>(window)) * width;
    };

    draw->AddRectFilled(min, max, IM_COL32(16, 18, 22, 255));
    timeLabels.clear();
    draw->AddRect(min, max, IM_COL32(80, 84, 90, 255));
    // Time grid and labels: as many labels as fit side by side with a gap, so that a narrow plot's
    // do not run together.
    const float labelRoom = ImGui::CalcTextSize("00:00:00").x + 16;
    const int64_t step = timeStep(window, std::max<int64_t>(1, static_cast<int64_t>(width / labelRoom)));
    const uint32_t grid = IM_COL32(60, 64, 70, 255);
    const uint32_t label = ImGui::GetColorU32(style->getTextColorDisabled());
    // Grid lines are one-pixel rectangles on whole pixels: a thin anti-aliased line is a long textured
    // quad that a software renderer may shade unevenly along its length (a line fading out part way).
    for (int64_t t = (start / step + 1) * step; t <= endNs; t += step) {
        const float x = xOf(t);
        const float column = std::floor(x);
        draw->AddRectFilled(ImVec2(column, min.y), ImVec2(column + 1, max.y), grid);
        const std::string text = clockText(t, step < 60'000'000'000);
        const float w = ImGui::CalcTextSize(text.c_str()).x;
        const float left = std::clamp(x - w / 2, min.x, max.x - w);
        // A label pushed in from the plot's edge can reach the one before it: that one keeps its
        // place and this line goes without a label.
        if (!timeLabels.empty() && left < timeLabels.back().second + 8) {
            continue;
        }
        draw->AddText(ImVec2(left, max.y + 2), label, text.c_str());
        timeLabels.emplace_back(left, left + w);
    }

    // The ranges and the lines are computed again only when the history, the axis, the plot or the
    // rows changed; other frames draw what was computed.
    std::string key = fmt::format("{} {} {} {} {} {} {} {}", endNs, window, min.x, min.y, max.x, max.y,
                                  perTagScale, history.revision());
    for (const auto* row : rows) {
        key += fmt::format("|{}#{}", row->name, row->colour);
    }
    auto padded = [](Range r) {
        if (r.empty()) {
            return Range{0, 1};
        }
        const double margin =
            r.high > r.low ? (r.high - r.low) * 0.05 : std::max(1.0, std::fabs(r.high) * 0.05);
        return Range{r.low - margin, r.high + margin};
    };
    if (key != linesKey) {
        linesKey = std::move(key);
        lines.clear();
        auto line = [&](ImVec2 a, ImVec2 b, uint32_t colour) { lines.push_back({a, b, colour, false}); };
        // One pass over the points: per tag and pixel column the count, lowest, highest, first and last
        // value, a new cell after a gap (a NaN point, or a silence of more than three cycles); the ranges
        // come from the cells. A column with many points is then one stroke from where the line came in
        // through its range, so an hour of fast cycles costs about one segment a column, not one a point.
        const int64_t silence =
            3 * static_cast<int64_t>(inspector->getIntervalMs()) * 1'000'000 + 500'000'000;
        const double columnNs = static_cast<double>(window) / std::max(1.0f, width);
        struct Cell {
            int64_t column;
            uint32_t count;
            double low, high, first, last;
            bool joined; // the line comes in from the cell before
        };
        std::vector<std::vector<Cell>> cells(rows.size());
        Range shared;
        std::vector<Range> own(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            std::vector<Cell>& out = cells[i];
            bool broken = true;
            int64_t lastT = 0;
            history.forEach(rows[i]->name, start, endNs, [&](const TrendPoint& p) {
                if (std::isnan(p.value)) {
                    broken = true; // the line stops here
                    lastT = p.timeNs;
                    return;
                }
                broken = broken || p.timeNs - lastT > silence;
                const auto column =
                    static_cast<int64_t>(std::floor(static_cast<double>(p.timeNs - start) / columnNs));
                if (out.empty() || broken || out.back().column != column) {
                    out.push_back({column, 1, p.value, p.value, p.value, p.value, !broken && !out.empty()});
                    broken = false;
                } else {
                    Cell& c = out.back();
                    ++c.count;
                    c.low = std::min(c.low, p.value);
                    c.high = std::max(c.high, p.value);
                    c.last = p.value;
                }
                own[i].take(p.value);
                lastT = p.timeNs;
            });
            shared.take(own[i].low);
            shared.take(own[i].high);
        }
        const Range sharedShown = padded(shared);
        shownLow = sharedShown.low;
        shownHigh = sharedShown.high;
        for (size_t i = 0; i < rows.size(); ++i) {
            const Range range = perTagScale ? padded(own[i]) : sharedShown;
            const uint32_t colour = colourOf(rows[i]->colour);
            const bool steps = zelkc_logix_tag_atomic_type(rows[i]->symbolType) == ZELKC_LOGIX_TYPE_BOOL;
            auto yOf = [&](double v) { return trendPixel(v, range.low, range.high, min.y, max.y); };
            double joinFrom = 0;
            float joinX = 0;
            for (const Cell& c : cells[i]) {
                const float x = min.x + static_cast<float>((static_cast<double>(c.column) + 0.5) * columnNs /
                                                           static_cast<double>(window)) *
                                            width;
                if (c.joined && steps) { // level, then up or down to this column's first value
                    line(ImVec2(joinX, yOf(joinFrom)), ImVec2(x, yOf(joinFrom)), colour);
                    line(ImVec2(x, yOf(joinFrom)), ImVec2(x, yOf(c.first)), colour);
                } else if (c.joined && c.count == 1) {
                    line(ImVec2(joinX, yOf(joinFrom)), ImVec2(x, yOf(c.first)), colour);
                } else if (!c.joined && c.count == 1) { // a lone point still shows
                    lines.push_back(
                        {ImVec2(x - 1, yOf(c.first) - 1), ImVec2(x + 1, yOf(c.first) + 1), colour, true});
                }
                if (c.count > 1) { // one stroke through the column's range, from where the line came in
                    const double from = c.joined && !steps ? std::min(c.low, joinFrom) : c.low;
                    const double to = c.joined && !steps ? std::max(c.high, joinFrom) : c.high;
                    line(ImVec2(x, yOf(from) + 0.5f), ImVec2(x, yOf(to) - 0.5f), colour);
                }
                joinFrom = c.last;
                joinX = x;
            }
        }
    }
    const Range sharedShown{shownLow, shownHigh};
    if (!perTagScale) {
        // Round values (1, 2 or 5 times a power of ten), not fractions of the range.
        for (const double v : trendTicks(sharedShown.low, sharedShown.high)) {
            const float y = trendPixel(v, sharedShown.low, sharedShown.high, min.y, max.y);
            const float row = std::floor(y);
            draw->AddRectFilled(ImVec2(min.x, row), ImVec2(max.x, row + 1), grid);
            const std::string text = valueText(v);
            const float w = ImGui::CalcTextSize(text.c_str()).x;
            draw->AddText(ImVec2(min.x - w - 4, std::clamp(y - 7, min.y, max.y - 14)), label, text.c_str());
        }
    }

    draw->PushClipRect(min, max, true);
    // One-pixel lines without anti-aliasing fringes: a third of the triangles, and as crisp.
    const ImDrawListFlags flags = draw->Flags;
    draw->Flags &= ~(ImDrawListFlags_AntiAliasedLines | ImDrawListFlags_AntiAliasedLinesUseTex);
    for (const Line& l : lines) {
        if (l.dot) {
            draw->AddRectFilled(l.a, l.b, l.colour);
        } else {
            draw->AddLine(l.a, l.b, l.colour, 1.0f);
        }
    }
    segments = lines.size();
    draw->Flags = flags;
    draw->PopClipRect();

    // Hover: the time under the pointer and each row's value there.
    if (hovered && !rows.empty()) {
        const float x = io.MousePos.x;
        draw->AddLine(ImVec2(x, min.y), ImVec2(x, max.y), IM_COL32(200, 200, 200, 160));
        const int64_t t = start + static_cast<int64_t>(static_cast<double>(x - min.x) / width *
                                                       static_cast<double>(window));
        std::string text = clockText(t, true);
        for (const auto* row : rows) {
            double at = std::nan("");
            history.forEach(row->name, t, t, [&](const TrendPoint& p) {
                if (p.timeNs <= t) {
                    at = p.value;
                }
            });
            text +=
                fmt::format("\n{}: {}", row->name, std::isnan(at) ? std::string("no value") : valueText(at));
        }
        showTooltip(text.c_str());
    }
}
