// The watch table: one row per watched tag with its name, type and last value, and a delete button.
// A name wider than its column shows its end after an ellipsis (the index of an element is what
// tells rows apart), with the whole path in a tooltip. A right-click on a row opens its menu: copy the
// value, the path or both, remove the row or all rows. The tree view drives the reading.
//
// Writing: the toolbar's "Writes" switch, once allowed for the controller connected now, lets a value
// cell be edited (double-click, or F2/Enter on the selected row); every change is confirmed before it
// is written, and the row shows what became of it. The writes themselves are TagWriter's.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <imgui.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Texture.h>
#include <zelk/ui/Widget.h>

#include "CsvRecorder.h"
#include "Views/TagInspector.h"
#include "Views/TagWriter.h"

class InspectorView : public zelk::ui::Widget {
public:
    explicit InspectorView(zelk::ui::Widget* parent);
    ~InspectorView() override;

    void resized() override;
    void update() override;

    zelk::ui::ImGuiPanel* getPanel() const { return panel; }
    // Scrolls the table so that the row at `index` is in view (in the next frame).
    void revealRow(size_t index) { revealIndex = index; }
    // The line under the table as last drawn: the cycle's time, reads per second and tags in error,
    // "no reply for N s" while a cycle waits, and the pace the controller allows when it is slower
    // than the rate asked for.
    const std::string& getStatusLine() const { return shownStatusLine; }
    // Where each row's delete button was last drawn, in the panel's coordinates, in row order.
    const std::vector<ImVec4>& getDeleteButtonRects() const { return deleteRects; }
    // The Value column's text as last drawn, in row order: the value, a stale value with its age, or
    // the reason a tag was refused.
    const std::vector<std::string>& getDrawnValues() const { return drawnValues; }

    // The Name column's text as last drawn, in row order (shortened where the column is too narrow).
    const std::vector<std::string>& getDrawnNames() const { return drawnNames; }
    // Where each row's name was last drawn, in the panel's coordinates, in row order.
    const std::vector<ImVec4>& getNameRects() const { return nameRects; }
    // The menu items last drawn, with their rectangles in the panel's coordinates.
    const std::vector<std::pair<std::string, ImVec4>>& getMenuItems() const { return menuItems; }
    // `text` shortened from the front with an ellipsis to fit `width` pixels at the current font.
    static std::string fitFromEnd(const std::string& text, float width);
    // `text` cut at the end with an ellipsis to fit `width` pixels at the current font (a value: its
    // start is what reads first).
    static std::string fitToWidth(const std::string& text, float width);

    // Recording: Record in the toolbar writes each cycle of the table to a CSV file in the folder
    // (asked for at the first Record, then kept); `controller` names the file.
    bool startRecording(const std::string& folder, const std::string& controller);
    void stopRecording() { recorder.stop(); }
    bool isRecording() const { return recorder.isRecording(); }
    const CsvRecorder& getRecorder() const { return recorder; }
    const std::string& getRecordFolder() const { return recordFolder; }
    void setRecordFolder(std::string folder) { recordFolder = std::move(folder); }
    // Open of a watch list file hands its tag paths here (the tree adds those it finds).
    void setOpenListHandler(std::function<void(const std::vector<std::string>&)> handler) {
        openList = std::move(handler);
    }
    // Saves the table's tag paths as a watch list file; false with the reason in getListMessage().
    bool saveList(const std::string& path);
    bool openListFile(const std::string& path);
    // Where the file popup (save, open, record) was last drawn, in the panel's coordinates; all 0
    // when it is closed.
    ImVec4 getFilePopupRect() const { return filePopupRect; }
    // What the last Save, Open or recording said (a file written, a problem).
    const std::string& getListMessage() const { return listMessage; }

    // Whether the trend pane under the table is asked for (the toolbar's Trend box).
    bool isTrendShown() const { return trendShown; }
    void setTrendShown(bool value) { trendShown = value; }
    // Where each row's trend box was last drawn, in the panel's coordinates, in row order.
    const std::vector<ImVec4>& getTrendBoxRects() const { return trendRects; }
    // The status line's note about the pace when the controller is slower than the rate; else empty.
    const std::string& getPaceText() const { return paceText; }

    // How old a stale value is, in words: "12 s ago", "3 min ago", "2 h ago".
    static std::string ageText(int64_t ageNs);
    static constexpr int64_t changeHighlightNs = 1'500'000'000;

    TagWriter& getWriter() { return *writer; }
    // The buttons and switches last drawn (the toolbar's, the confirmations'), with their rectangles
    // in the panel's coordinates.
    const std::vector<std::pair<std::string, ImVec4>>& getButtons() const { return buttons; }
    // Where each row's value cell was last drawn, in the panel's coordinates, in row order.
    const std::vector<ImVec4>& getValueRects() const { return valueRects; }
    // The open confirmation's lines (the question to allow writes, or the change to write); else empty.
    const std::string& getConfirmText() const { return confirmText; }
    bool isEditing() const { return !editTag.empty(); }
    const std::string& getEditText() const { return editText; }
    // Why the text typed in the editor cannot be written; empty when it can.
    const std::string& getEditProblem() const { return editProblem; }
    // Whether the table carried the mark of writes being on in the last frame.
    bool isWriteMarkShown() const { return writeMarkShown; }
    // The lines of the write history as last drawn, oldest first.
    const std::vector<std::string>& getHistoryLines() const { return historyLines; }
    static constexpr size_t historyLength = 20;

private:
    void generateGui();
    void drawValue(const TagInspector::TagValue& tag, int64_t now);
    void drawMenu();

    TagInspector* inspector;
    zelk::ui::ImGuiPanel* panel = nullptr;
    std::optional<size_t> revealIndex;
    ImVec4 filePopupRect{0, 0, 0, 0};
    void drawStatusLine();
    std::string statusLine;
    std::string shownStatusLine;
    uint64_t statusCycles = ~uint64_t{0};
    bool statusWasWaiting = false;
    bool statusUp = false;
    const zelk::ui::Texture* deleteIcon = nullptr;
    std::vector<ImVec4> deleteRects;
    std::vector<std::string> drawnValues;
    std::vector<std::string> drawnNames;
    std::vector<ImVec4> nameRects;
    std::vector<std::pair<std::string, ImVec4>> menuItems;
    std::string menuTag; // the row the menu was opened on
    std::vector<ImVec4> trendRects;
    std::string paceText;
    bool trendShown = false;
    void drawToolbar();
    void drawFilePopups();
    // Writes the cycle the rows show now when recording and a new one was taken.
    void record();
    CsvRecorder recorder;
    std::string recordFolder;
    float toolbarGap = 24.0f; // between the toolbar's groups; less in a narrow pane
    uint64_t recordedCycles = 0;
    std::function<void(const std::vector<std::string>&)> openList;
    std::string listMessage;
    std::string filePath; // the text of the file popup's field
    int fileAction = 0;   // 0: none, 1: save, 2: open, 3: start a recording in a folder
    bool openFilePopup = false;

    // Writing.
    void drawWriteSwitch();
    void drawWritePopups();
    void drawHistory();
    void beginEdit(const TagInspector::TagValue& row);
    // Opens the confirmation of writing `text` into `row`; the reason when it cannot be written.
    std::string askToWrite(const TagInspector::TagValue& row, const std::string& text);
    void button(const char* label, bool* clicked);
    std::unique_ptr<TagWriter> writer;
    std::vector<std::pair<std::string, ImVec4>> buttons;
    std::vector<ImVec4> valueRects;
    std::string selectedTag;
    std::string editTag; // the row whose value is being edited; empty: none
    std::string editText;
    std::string editProblem;
    bool editFocus = false;
    std::optional<TagWriter::Request> confirming;
    int confirmFrame = 0; // the frame the confirmation opened in: its keys count from the next
    bool openConfirm = false;
    bool openAllow = false;
    uint64_t allowRevision = 0; // the connection the question to allow writes names
    std::string allowQuestion;
    std::string confirmText;
    bool writeMarkShown = false;
    bool openHistory = false;
    std::vector<std::string> historyLines;
};
