// The connection bar across the top of the window: the logo, the address and port fields, the
// Connect/Disconnect button, the two status lines (connection state, then the controller's type or
// "Connection failed") and the maker with the version. A click connects on the thread pool or
// disconnects at once; the bar follows the outcome by polling the application state every frame.
#pragma once

#include <optional>
#include <string>

#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Rectangle.h>
#include <zelk/ui/Stack.h>
#include <zelk/ui/TextElement.h>
#include <zelk/ui/Widget.h>

#include "Views/DefaultButton.h"

#include "AppState.h"

class ThreadPool;

class TopBarView : public zelk::ui::Widget {
public:
    explicit TopBarView(zelk::ui::Widget* parent);
    ~TopBarView() override;

    void resized() override;
    void update() override;
    // The button's click: disconnects when connected, otherwise starts a connection attempt.
    void connect() noexcept;

    // Pre-fills the fields (the command line's address and port). The port is kept within 1-65535. The
    // address may be HOST, HOST:PORT (the port field then takes PORT) or HOST/SLOT.
    // A field being edited keeps its own copy of the text: it is taken back and given the new one.
    void setAddress(const std::string& address) {
        ip = address;
        fieldsChanged = true;
    }
    void setPort(int value) {
        port = clampPort(value);
        fieldsChanged = true;
    }
    const std::string& getAddress() const { return ip; }
    int getPort() const { return port; }
    bool isConnecting() const { return connecting; }

    DefaultButton* getConnectButton() const { return connectButton; }
    // The status lines as drawn (cut with an ellipsis to their column) and the first one whole.
    zelk::ui::TextElement* getStatusText() const { return statusText; }
    const std::string& getStatusLine() const { return firstLine; }
    zelk::ui::TextElement* getPlcTypeText() const { return plcTypeText; }
    zelk::ui::Rectangle* getLogo() const { return logo; }
    zelk::ui::ImGuiPanel* getFieldsPanel() const { return fieldsPanel; }
    // Where the address and port fields were last drawn, in the fields panel's coordinates
    // (min x, min y, max x, max y).
    ImVec4 getAddressFieldRect() const { return addressRect; }
    ImVec4 getPortFieldRect() const { return portRect; }

    // The second line while the connection is lost: the reason and the countdown to the next attempt.
    static std::string lossLine(const LinkSnapshot& link, int64_t now);
    static int clampPort(int value) { return value < 1 ? 1 : (value > 65535 ? 65535 : value); }

    static constexpr const char* version = ORVANE_VERSION; // the project's version
    static constexpr float statusWidth = 300;
    // The maker's name and the version line; hidden in a window narrower than wideWidth and while a
    // long status line runs over them.
    bool makerShown() const { return makerTexts[0]->isVisible(); }
    zelk::ui::TextElement* const* getMakerTexts() const { return makerTexts; }
    static constexpr float wideWidth = 1200;
    // Whether Tab moved the keyboard focus from the port field to the Connect button (Enter or Space
    // then presses it).
    bool buttonHasFocus() const { return buttonFocused; }
    // What is wrong with the address text, shown under the field after a Connect; empty when nothing.
    const std::string& getAddressProblem() const { return addressProblem; }

private:
    void buildFields();
    // The status column's width and the maker's visibility for the bar's width and the second line.
    void layoutStatus();
    // Sets the whole status line (the element shows it cut to its column).
    void setFirstLine(const std::string& line);
    // Enter in a field or on the focused button: connects unless already connected or connecting.
    void enterPressed() noexcept;
    // Writes the status lines and the button text for the connection's state.
    void showStatus(const LinkSnapshot& link);

    AppState* appState;
    zelk::ui::Rectangle* background = nullptr;
    zelk::ui::Stack* root = nullptr;
    std::string ip;
    int port = 44818;
    bool connecting = false;
    zelk::ui::TextElement* plcTypeText = nullptr;
    zelk::ui::TextElement* statusText = nullptr;
    DefaultButton* connectButton = nullptr;
    zelk::ui::Stack* maker = nullptr;
    zelk::ui::TextElement* makerTexts[2] = {nullptr, nullptr};
    ThreadPool* threadPool;
    zelk::ui::Rectangle* logo = nullptr;
    zelk::ui::ImGuiPanel* fieldsPanel = nullptr;
    ImVec4 addressRect{0, 0, 0, 0};
    ImVec4 portRect{0, 0, 0, 0};
    zelk::ui::Stack* left = nullptr;
    zelk::ui::Stack* right = nullptr;
    zelk::ui::Stack* status = nullptr;
    std::string firstLine;  // the whole status line; the element may show it shortened
    std::string secondLine; // the whole second line; the element may show it shortened
    float makerWidth = 150;
    bool focusGiven = false; // the address field took the keyboard focus at start
    bool buttonFocused = false;
    bool portWasActive = false;
    bool focusAddress = false;  // Tab on the button goes back to the address field
    bool fieldsChanged = false; // set from outside while a field may be active
    std::string addressProblem;
    // What the bar showed when the user's Connect started from a disconnected bar; a Cancel of that
    // attempt shows it again, as long as nothing else happened (the cancel's connection revision).
    struct ShownBar {
        std::string status;
        zelk::ui::Color colour;
        std::string second;
    };
    std::optional<ShownBar> beforeConnect;
    uint64_t cancelRevision = 0;
    std::string parsedText; // the address text last looked at for a port of its own
};
