#include "Views/TopBarView.h"

#include <algorithm>
#include <exception>
#include <memory>

#include <fmt/format.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <zelk/ui/Application.h>
#include <zelk/ui/Font.h>
#include <zelk/ui/Window.h>

#include "AddressText.h"
#include "AppState.h"
#include "AppStyle.h"
#include "AppTextures.h"
#include "Logger.h"
#include "ThreadPool.h"
#include "Views/InputText.h"

namespace {
using zelk::ui::Vec2;
constexpr int horizontal = static_cast<int>(zelk::ui::Stack::Orientation::Horizontal);
constexpr int vertical = static_cast<int>(zelk::ui::Stack::Orientation::Vertical);

zelk::ui::TextElement* addText(zelk::ui::Stack* parent, const AppStyle* style, const std::string& text) {
    auto* element = parent->addChild<zelk::ui::TextElement>(style->getDefaultFont());
    element->setFontSize(style->getFontSizeSmall());
    element->setColor(style->getTextColor());
    element->setText(text);
    return element;
}
} // namespace

TopBarView::TopBarView(zelk::ui::Widget* parent)
    : zelk::ui::Widget(parent), appState(AppState::getInstance()), threadPool(&ThreadPool::instance()) {
    const AppStyle* style = AppStyle::getInstance();

    background = addHiddenChild<zelk::ui::Rectangle>();
    background->setColor(style->getBackgroundColorLight());
    root = addHiddenChild<zelk::ui::Stack>();
    root->setDistribution(zelk::ui::Stack::Distribution::Fill);
    root->setAlignment(zelk::ui::Stack::Alignment::Stretch);
    root->setOrientation(horizontal);

    left = root->addChild<zelk::ui::Stack>();
    left->setOrientation(horizontal);
    left->setAlignment(zelk::ui::Stack::Alignment::Center);
    left->setDistribution(zelk::ui::Stack::Distribution::Start);
    left->setSpacing(32);

    right = root->addChild<zelk::ui::Stack>();
    right->setOrientation(horizontal);
    right->setAlignment(zelk::ui::Stack::Alignment::Stretch);
    right->setDistribution(zelk::ui::Stack::Distribution::End);
    right->setSpacing(32);
    right->setMinSize(Vec2{482, 50});
    right->setMaxSize(Vec2{482, 50});

    logo = left->addChild<zelk::ui::Rectangle>(Vec2{0, 0}, Vec2{64, 64});
    // Held to the bar's height: at 64 high it would hang 7 pixels over the tree's first row.
    logo->setMaxSize(Vec2{50, 50});
    logo->setTexture(AppTextures::getSvg("icons/zelk.svg", 256, 256));
    logo->setColor(zelk::ui::Color(0, 0, 0, 255));

    fieldsPanel = left->addChild<zelk::ui::ImGuiPanel>(Vec2{0, 0}, Vec2{384, 50});
    style->applyToPanel(fieldsPanel, style->getFontSizeSmall() * style->getImGuiFontScale());
    fieldsPanel->setBuildImGuiFunction([this] { buildFields(); });

    connectButton = left->addChild<DefaultButton>(Vec2{0, 0}, Vec2{140, style->getButtonHeight()});
    connectButton->getText()->setText("Connect");
    connectButton->setOnClick([this] { connect(); });

    status = right->addChild<zelk::ui::Stack>(Vec2{0, 0}, Vec2{statusWidth, 50});
    status->setOrientation(vertical);
    status->setAlignment(zelk::ui::Stack::Alignment::Start);
    status->setDistribution(zelk::ui::Stack::Distribution::SpaceEvenly);
    status->setPadding(zelk::ui::Vec4(8));
    statusText = status->addChild<zelk::ui::TextElement>(style->getDefaultFont());
    statusText->setFontSize(style->getFontSizeSmall());
    plcTypeText = status->addChild<zelk::ui::TextElement>(style->getDefaultFont());
    plcTypeText->setFontSize(style->getFontSizeSmall());
    plcTypeText->setColor(style->getTextColor());

    maker = right->addChild<zelk::ui::Stack>(Vec2{0, 0}, Vec2{150, 50});
    maker->setOrientation(vertical);
    maker->setAlignment(zelk::ui::Stack::Alignment::Start);
    maker->setDistribution(zelk::ui::Stack::Distribution::SpaceEvenly);
    makerTexts[0] = addText(maker, style, "ZELK Software GmbH");
    makerTexts[1] = addText(maker, style, fmt::format("Version: {}", version));
    const float name = makerTexts[0]->getPreferredSize().x;
    const float line = makerTexts[1]->getPreferredSize().x;
    // The maker's name is wider than 150 at the small font size: widen its column (and the group) so
    // that the text is not cut at the window's edge.
    const float width = std::max(150.0f, std::max(name, line) + 8.0f);
    maker->setPreferredSize(Vec2{width, 50});
    makerWidth = width;
    right->setMinSize(Vec2{482 - 150 + width, 50});
    right->setMaxSize(Vec2{482 - 150 + width, 50});
    setFirstLine("Not connected");
    statusText->setColor(style->getTextColorSecondary());
}

TopBarView::~TopBarView() = default;

void TopBarView::buildFields() {
    const ImGuiIO& io = ImGui::GetIO();
    const bool tab = ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Tab), false) && !io.KeyShift;
    const bool enter = ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Enter), false) ||
                       ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_KeyPadEnter), false);
    if (buttonFocused) {
        // The Connect button holds the focus: Enter or Space presses it, Tab goes on to the address.
        if (enter || ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Space), false)) {
            connect();
        } else if (tab) {
            buttonFocused = false;
            focusAddress = true;
        } else if (ImGui::IsMouseClicked(0)) {
            buttonFocused = false; // a click into a field takes the focus back
        }
    } else if (tab && portWasActive) {
        // Tab out of the port field goes to the Connect button, not round to the address.
        ImGui::ClearActiveID();
        buttonFocused = true;
    }
    if (fieldsChanged) {
        fieldsChanged = false;
        if (ImGui::GetActiveID() != 0) {
            ImGui::ClearActiveID();
            focusAddress = true; // activated again, the field reads the new text
        }
    }
    // The fields sit in the middle of the bar; a problem with the address moves them up and shows
    // under them.
    ImGui::SetCursorPosY(addressProblem.empty() ? 12.0f : 2.0f);
    ImGui::BeginDisabled(connecting);
    ImGui::SetCursorPosX(4.0f); // clear of the panel's border
    ImGui::TextUnformatted("IP:");
    ImGui::SameLine(28);
    ImGui::SetNextItemWidth(160);
    if (focusAddress || !focusGiven) {
        ImGui::SetKeyboardFocusHere();
        focusAddress = false;
        focusGiven = true;
    }
    const bool addressEntered =
        ImGui::InputText("##IP", &ip, ImGuiInputTextFlags_EnterReturnsTrue, nullptr, nullptr);
    if (ip != parsedText) {
        // HOST:PORT typed in the address: the port field follows it.
        parsedText = ip;
        addressProblem.clear();
        ControllerAddress typed;
        if (parseControllerAddress(ip, static_cast<uint32_t>(port), &typed).empty() && typed.portGiven) {
            port = static_cast<int>(typed.port);
        }
    }
    if (addressEntered) {
        enterPressed();
    }
    addressRect = ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y, ImGui::GetItemRectMax().x,
                         ImGui::GetItemRectMax().y);
    ImGui::SameLine(220);
    ImGui::TextUnformatted("Port:");
    ImGui::SameLine(264);
    ImGui::SetNextItemWidth(120);
    // No EnterReturnsTrue here: InputInt would then take the typed number only at Enter, and lose it
    // at a Tab or a click elsewhere.
    const bool portEntered = portWasActive && enter;
    ImGui::InputInt("##Port", &port, 1, 100, 0);
    // A port outside 1-65535 would be cut to its low 16 bits and reach another service.
    port = clampPort(port);
    portRect = ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y, ImGui::GetItemRectMax().x,
                      ImGui::GetItemRectMax().y);
    // InputInt's text field is an unnamed item under the field's id: active while it has the cursor.
    ImGui::PushID("##Port");
    portWasActive = ImGui::GetActiveID() == ImGui::GetID("");
    ImGui::PopID();
    ImGui::EndDisabled();
    if (portEntered) {
        enterPressed();
    }
    if (!addressProblem.empty()) {
        ImGui::SetCursorPosY(27.0f);
        ImGui::PushStyleColor(ImGuiCol_Text,
                              ImGui::ColorConvertU32ToFloat4(AppStyle::getInstance()->getErrorColor()));
        // Cut with an ellipsis where the panel ends; the whole reason in a tooltip.
        const std::string shown = ellipsized(addressProblem, ImGui::GetContentRegionAvail().x);
        ImGui::TextUnformatted(shown.c_str());
        ImGui::PopStyleColor();
        if (shown != addressProblem && ImGui::IsItemHovered()) {
            showTooltip(addressProblem.c_str());
        }
    }
    const AppStyle* style = AppStyle::getInstance();
    connectButton->setBackgroundColor(buttonFocused ? style->getButtonHoverColor() : style->getButtonColor());
}

void TopBarView::enterPressed() noexcept {
    const LinkState state = appState->snapshot().state;
    if (state == LinkState::Disconnected || state == LinkState::Lost) {
        connect();
    }
}

void TopBarView::resized() {
    root->setPreferredSize(getActualSize());
    background->setPreferredSize(getActualSize());
    layoutStatus();
    zelk::ui::Widget::resized();
}

void TopBarView::layoutStatus() {
    const AppStyle* style = AppStyle::getInstance();
    const float width = getActualSize().x;
    const bool wide = width >= wideWidth;
    left->setSpacing(wide ? 32.0f : 12.0f);
    // What the logo, the fields and the button take, with their gaps: the status column gets the rest.
    const float used = 50.0f + fieldsPanel->getPreferredSize().x + 140.0f + 2.0f * left->getSpacing();
    const float room = std::max(0.0f, width - used - 12.0f);
    const bool lineFits =
        style->getDefaultFont()->measure(secondLine, style->getFontSizeSmall()).x <= statusWidth - 16;
    const bool makerOn = wide && lineFits && room >= statusWidth + 32.0f + makerWidth;
    for (zelk::ui::TextElement* text : makerTexts) {
        text->setVisible(makerOn);
    }
    maker->setVisible(makerOn);
    const float column = makerOn ? statusWidth : room;
    const float group = makerOn ? statusWidth + 32.0f + makerWidth : column;
    right->setMinSize(Vec2{group, 50});
    right->setMaxSize(Vec2{group, 50});
    status->setPreferredSize(Vec2{column, 50});
    // A line longer than its column is shortened with an ellipsis; the whole texts stay in firstLine
    // and secondLine. A line may run into the column's right padding, not past it.
    const float fit = column - 8.0f;
    const zelk::ui::Font* font = style->getDefaultFont();
    const auto fitted = [&](const std::string& line) {
        if (font->measure(line, style->getFontSizeSmall()).x <= fit) {
            return line;
        }
        size_t keep = line.size();
        while (keep > 0 &&
               font->measure(line.substr(0, keep) + "\u2026", style->getFontSizeSmall()).x > fit) {
            keep = keep > 8 ? keep - 4 : keep - 1;
            while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) {
                --keep; // never cut a UTF-8 character in two
            }
        }
        return line.substr(0, keep) + "\u2026";
    };
    for (auto [element, line] : {std::pair{statusText, &firstLine}, {plcTypeText, &secondLine}}) {
        const std::string shown = fitted(*line);
        if (element->getText() != shown) {
            element->setText(shown);
        }
    }
}

void TopBarView::setFirstLine(const std::string& line) {
    if (firstLine != line) {
        firstLine = line;
        layoutStatus();
    }
}

std::string TopBarView::lossLine(const LinkSnapshot& link, int64_t now) {
    if (link.state == LinkState::Reconnecting) {
        return fmt::format("Connection lost: {}; reconnecting\u2026", shortFailure(link.result));
    }
    const int64_t left = link.nextAttemptNs - now;
    const int64_t seconds = left <= 0 ? 0 : (left + 999'999'999) / 1'000'000'000;
    if (link.flapping) {
        return fmt::format("Reconnected, but the first read failed: {}; next try in {} s", shortFailure(link.result),
                           seconds);
    }
    return fmt::format("Connection lost: {}; reconnecting in {} s", shortFailure(link.result), seconds);
}

void TopBarView::showStatus(const LinkSnapshot& link) {
    const AppStyle* style = AppStyle::getInstance();
    const char* status = nullptr;
    zelk::ui::Color colour = style->getErrorColor();
    const char* button = "Connect";
    std::string second = secondLine;
    if (link.state == LinkState::Disconnected && beforeConnect && link.revision == cancelRevision) {
        // The user's attempt was cancelled: the bar is as it was before it.
        setFirstLine(beforeConnect->status);
        statusText->setColor(beforeConnect->colour);
        if (connectButton->getText()->getText() != button) {
            connectButton->getText()->setText(button);
        }
        if (secondLine != beforeConnect->second) {
            secondLine = beforeConnect->second;
            layoutStatus();
        }
        return;
    }
    switch (link.state) {
    case LinkState::Connected:
        status = "PLC-Status: CONNECTED";
        colour = style->getSuccessColor();
        button = "Disconnect";
        second = fmt::format("PLC-Type: {}", link.plcType);
        break;
    case LinkState::Connecting:
        status = "PLC-Status: CONNECTING";
        colour = style->getWarningColor();
        button = "Cancel";
        second.clear(); // the last failure is cleared at each click
        break;
    case LinkState::Reconnecting:
    case LinkState::Lost:
        status = "PLC-Status: DISCONNECTED";
        button = link.state == LinkState::Reconnecting ? "Cancel" : "Connect";
        second = lossLine(link, appState->now());
        break;
    case LinkState::Disconnected:
        // Before the first attempt: "Not connected" and no second line.
        if (link.revision == 0) {
            return;
        }
        status = "PLC-Status: DISCONNECTED";
        if (!link.reason.empty()) {
            second = fmt::format("Connection failed: {}",
                                 link.refusal.empty() ? std::string(shortFailure(link.result)) : link.refusal);
        } else if (!link.plcType.empty()) {
            second = fmt::format("PLC-Type: {}", link.plcType); // after a disconnect: the last type
        }
        break;
    }
    setFirstLine(status);
    statusText->setColor(colour);
    if (connectButton->getText()->getText() != button) {
        connectButton->getText()->setText(button);
    }
    if (secondLine != second) {
        secondLine = second;
        // A line longer than its column (a loss with its countdown) runs on over the maker's name,
        // which steps aside meanwhile.
        layoutStatus();
    }
}

void TopBarView::update() {
    if (!focusGiven && getWindow() != nullptr) {
        getWindow()->setFocus(fieldsPanel); // typing goes to the address field from the start
    }
    appState->supervise();
    const LinkSnapshot link = appState->snapshot();
    connecting = link.state == LinkState::Connecting;
    showStatus(link);
    connectButton->setLocked(ip.empty() && link.state != LinkState::Connecting &&
                             link.state != LinkState::Reconnecting && link.state != LinkState::Connected);
    zelk::ui::Widget::update();
}

void TopBarView::connect() noexcept {
    const LinkSnapshot link = appState->snapshot();
    try {
        switch (link.state) {
        case LinkState::Connected:
        case LinkState::Connecting:
        case LinkState::Reconnecting:
            // Disconnect, or cancel the attempt: acts at once, the network is left to the background.
            appState->disconnect();
            if (link.state == LinkState::Connecting && beforeConnect) {
                cancelRevision = appState->snapshot().revision;
            }
            break;
        case LinkState::Lost:
        case LinkState::Disconnected: {
            if (ip.empty()) {
                break;
            }
            ControllerAddress target;
            addressProblem = parseControllerAddress(ip, static_cast<uint32_t>(port), &target);
            if (!addressProblem.empty()) {
                break; // nothing connects to an address that cannot be right
            }
            port = static_cast<int>(target.port);
            if (link.state == LinkState::Lost && link.host == target.host && link.port == port &&
                link.slot == target.slot) {
                appState->reconnectNow();
                break;
            }
            if (link.state == LinkState::Disconnected) {
                beforeConnect = ShownBar{firstLine, statusText->getColor(), secondLine};
            } else {
                beforeConnect.reset(); // a lost connection's countdown would not be true after a cancel
            }
            connecting = true;
            appState->connectAsync(
                target.host, static_cast<unsigned short>(port & 0xFFFF),
                [](uint8_t rc) {
                    if (rc != 0) {
                        LogWriter(LogLevel::Error)("failed to connect to PLC: {}", rc);
                    }
                },
                target.slot);
            break;
        }
        }
    } catch (const std::exception& e) {
        LogWriter(LogLevel::Error)("failed to {} PLC: {}",
                                   link.state == LinkState::Disconnected ? "connect to" : "disconnect from",
                                   e.what());
    }
    // Shown at once, before the next frame.
    showStatus(appState->snapshot());
}
