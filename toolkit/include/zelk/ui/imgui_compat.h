// The few Dear ImGui calls written in a newer release's form, mapped onto the ImGui in use:
//  - ImTextureRef: a texture reference; built from a zelk::ui::Texture* (or an ImTextureID) and
//    passed wherever an ImTextureID is expected (ImDrawList::AddImage(ImTextureRef(texture), ...)).
//    ImGui::Image also takes one (or a const zelk::ui::Texture* directly).
//  - ImGui::ImageButton(str_id, texture, size, uv0, uv1, bg_col, tint_col): the id-first form,
//    padded by the style's FramePadding.
//  - ImGuiTreeNodeFlags_SpanLabelWidth: the hit box covers the label only, which is what tree
//    nodes without SpanAvailWidth/SpanFullWidth already do here, so it is 0.
// With an ImGui that has these itself, this header adds only zelk::ui::toImTextureID.
#pragma once

#include <zelk/ui/Texture.h>

#include <imgui.h>
#include <imgui_internal.h>

namespace zelk::ui {
// The texture reference ImGui panels understand: the Texture's address.
inline ImTextureID toImTextureID(const Texture* texture) {
    return reinterpret_cast<ImTextureID>(const_cast<Texture*>(texture));
}
} // namespace zelk::ui

#if IMGUI_VERSION_NUM < 19200
struct ImTextureRef {
    ImTextureRef() = default;
    ImTextureRef(ImTextureID id) : texId(id) {}    // NOLINT(google-explicit-constructor)
    ImTextureRef(const zelk::ui::Texture* texture) // NOLINT(google-explicit-constructor)
        : texId(zelk::ui::toImTextureID(texture)) {}
    ImTextureID GetTexID() const { return texId; }
    operator ImTextureID() const { return texId; } // NOLINT(google-explicit-constructor)

    ImTextureID texId = nullptr;
};
#endif

#if IMGUI_VERSION_NUM < 19200
namespace ImGui {
// Image taking a texture reference, so a const zelk::ui::Texture* can be passed directly.
inline void Image(ImTextureRef texture, const ImVec2& image_size, const ImVec2& uv0 = ImVec2(0, 0),
                  const ImVec2& uv1 = ImVec2(1, 1), const ImVec4& tint_col = ImVec4(1, 1, 1, 1),
                  const ImVec4& border_col = ImVec4(0, 0, 0, 0)) {
    Image(texture.GetTexID(), image_size, uv0, uv1, tint_col, border_col);
}
} // namespace ImGui
#endif

#if IMGUI_VERSION_NUM < 18900
namespace ImGui {
inline bool ImageButton(const char* str_id, ImTextureRef texture, const ImVec2& image_size,
                        const ImVec2& uv0 = ImVec2(0, 0), const ImVec2& uv1 = ImVec2(1, 1),
                        const ImVec4& bg_col = ImVec4(0, 0, 0, 0),
                        const ImVec4& tint_col = ImVec4(1, 1, 1, 1)) {
    ImGuiWindow* window = GetCurrentWindow();
    if (window->SkipItems) {
        return false;
    }
    return ImageButtonEx(window->GetID(str_id), texture.GetTexID(), image_size, uv0, uv1,
                         GetStyle().FramePadding, bg_col, tint_col);
}
} // namespace ImGui
#endif

#if IMGUI_VERSION_NUM < 19143
constexpr ImGuiTreeNodeFlags ImGuiTreeNodeFlags_SpanLabelWidth = 0;
#endif
