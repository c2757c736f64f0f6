#include "Views/TopBarView.h"

#include <algorithm>
#include <exception>
#include <memory>

#include <fmt/format.h>
#include <imgui.h>
#include <zelk/ui/Application.h>

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

    auto* left = root->addChild<zelk::ui::Stack>();
    left->setOrientation(horizontal);
    left->setAlignment(zelk::ui::Stack::Alignment::Center);
    left->setDistribution(zelk::ui::Stack::Distribution::Start);
    left->setSpacing(32);

    auto* right = root->addChild<zelk::ui::Stack>();
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

    fieldsPanel = left->addChild<zelk::ui::ImGuiPanel>(Vec2{0, 0}, Vec2{384, 25});
    style->applyImGuiStyle(fieldsPanel->getImGuiContext());
    fieldsPanel->setDefaultFont(style->getDefaultFont(),
                                style->getFontSizeSmall() * style->getImGuiFontScale(), nullptr);
    fieldsPanel->setBuildImGuiFunction([this] { buildFields(); });

    connectButton = left->addChild<DefaultButton>(Vec2{0, 0}, Vec2{140, style->getButtonHeight()});
    connectButton->getText()->setText("Connect");
    connectButton->setOnClick([this] { connect(); });

    auto* status = right->addChild<zelk::ui::Stack>(Vec2{0, 0}, Vec2{300, 50});
    status->setOrientation(vertical);
    status->setAlignment(zelk::ui::Stack::Alignment::Start);
    status->setDistribution(zelk::ui::Stack::Distribution::SpaceEvenly);
    status->setPadding(zelk::ui::Vec4(8));
    statusText = status->addChild<zelk::ui::TextElement>(style->getDefaultFont());
    statusText->setFontSize(style->getFontSizeSmall());
    plcTypeText = status->addChild<zelk::ui::TextElement>(style->getDefaultFont());
    plcTypeText->setFontSize(style->getFontSizeSmall());
    plcTypeText->setColor(style->getTextColor());

    auto* maker = right->addChild<zelk::ui::Stack>(Vec2{0, 0}, Vec2{150, 50});
    maker->setOrientation(vertical);
    maker->setAlignment(zelk::ui::Stack::Alignment::Start);
    maker->setDistribution(zelk::ui::Stack::Distribution::SpaceEvenly);
    const float name = addText(maker, style, "ZELK Software GmbH")->getPreferredSize().x;
    const float line = addText(maker, style, fmt::format("Version: {}", version))->getPreferredSize().x;
    // The maker's name is wider than 150 at the small font size: widen its column (and the group) so
    // that the text is not cut at the window's edge.
    const float width = std::max(150.0f, std::max(name, line) + 8.0f);
    maker->setPreferredSize(Vec2{width, 50});
    right->setMinSize(Vec2{482 - 150 + width, 50});
    right->setMaxSize(Vec2{482 - 150 + width, 50});
}

TopBarView::~TopBarView() = default;

void TopBarView::buildFields() {
    ImGui::BeginDisabled(connecting);
    ImGui::TextUnformatted("IP:");
    ImGui::SameLine(28);
    ImGui::SetNextItemWidth(160);
    ImGui::InputText("##IP", &ip, 0, nullptr, nullptr);
    addressRect = ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y, ImGui::GetItemRectMax().x,
                         ImGui::GetItemRectMax().y);
    ImGui::SameLine(220);
    ImGui::TextUnformatted("Port:");
    ImGui::SameLine(264);
    ImGui::SetNextItemWidth(120);
    if (ImGui::InputInt("##Port", &port, 1, 100, 0)) {
        // A port outside 1-65535 would be cut to its low 16 bits and reach another service.
        port = clampPort(port);
    }
    portRect = ImVec4(ImGui::GetItemRectMin().x, ImGui::GetItemRectMin().y, ImGui::GetItemRectMax().x,
                      ImGui::GetItemRectMax().y);
    ImGui::EndDisabled();
}

void TopBarView::resized() {
    root->setPreferredSize(getActualSize());
    background->setPreferredSize(getActualSize());
    zelk::ui::Widget::resized();
}

void TopBarView::showStatus(int status) {
    const AppStyle* style = AppStyle::getInstance();
    if (status != lastStatus) {
        lastStatus = status;
        if (status == 1) {
            statusText->setText("PLC-Status: CONNECTED");
            statusText->setColor(style->getSuccessColor());
            connectButton->getText()->setText("Disconnect");
            plcTypeText->setText(fmt::format("PLC-Type: {}", appState->plcType()));
        } else if (status == -1) {
            statusText->setText("PLC-Status: CONNECTING");
            statusText->setColor(style->getWarningColor());
            connectButton->getText()->setText("Connect");
        } else {
            statusText->setText("PLC-Status: DISCONNECTED");
            statusText->setColor(style->getErrorColor());
            connectButton->getText()->setText("Connect");
        }
    }
}

void TopBarView::update() {
    showStatus(connecting ? -1 : (appState->getStatus() ? 1 : 0));
    connectButton->setLocked(ip.empty());
    zelk::ui::Widget::update();
}

void TopBarView::connect() noexcept {
    if (appState->getStatus()) {
        try {
            appState->disconnect();
        } catch (const std::exception& e) {
            LogWriter(LogLevel::Error)("failed to disconnect from PLC: {}", e.what());
        }
        return;
    }
    connecting = true;
    // Shown at once: a refused attempt can end before the next frame's update, and the bar must still
    // pass through CONNECTING so that it shows DISCONNECTED afterwards.
    showStatus(-1);
    try {
        threadPool->execute([this, state = appState, token = lifetime(), host = ip, portNumber = port] {
            const char* failure = nullptr;
            try {
                const uint8_t rc = state->connect(host, static_cast<unsigned short>(portNumber & 0xFFFF));
                if (rc != 0) {
                    LogWriter(LogLevel::Error)("failed to connect to PLC: {}", rc);
                    failure = "Connection failed";
                }
            } catch (const std::exception& e) {
                LogWriter(LogLevel::Error)("failed to connect to PLC: {}", e.what());
                failure = "Connection failed";
            }
            zelk::ui::Application::dispatchToMainThread([this, token, failure] {
                if (token.expired()) {
                    return;
                }
                if (failure != nullptr) {
                    plcTypeText->setText(failure);
                }
                connecting = false;
            });
        });
    } catch (const std::exception&) {
        connecting = false;
    }
}
