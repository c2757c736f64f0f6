// The connection bar across the top of the window: the logo, the address and port fields, the
// Connect/Disconnect button, the two status lines (connection state, then the controller's type or
// "Connection failed") and the maker with the version. A click connects on the thread pool or
// disconnects at once; the bar follows the outcome by polling the application state every frame.
#pragma once

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

    // Pre-fills the fields (the command line's address and port). The port is kept within 1-65535.
    void setAddress(const std::string& address) { ip = address; }
    void setPort(int value) { port = clampPort(value); }
    const std::string& getAddress() const { return ip; }
    int getPort() const { return port; }
    bool isConnecting() const { return connecting; }

    DefaultButton* getConnectButton() const { return connectButton; }
    zelk::ui::TextElement* getStatusText() const { return statusText; }
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

    static constexpr const char* version = "1.0.6";
    static constexpr float statusWidth = 300;
    // The maker's name and the version line; hidden while a long status line runs over them.
    bool makerShown() const { return makerTexts[0]->isVisible(); }

private:
    void buildFields();
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
};
