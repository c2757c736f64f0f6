// The std::string text-input adaptors that Dear ImGui publishes with its sources:
//   ImGui::InputText(label, std::string*, flags, callback, user data)
//   ImGui::InputTextMultiline(label, std::string*, size, flags, callback, user data)
//   ImGui::InputTextWithHint(label, hint, std::string*, flags, callback, user data)
// They add ImGuiInputTextFlags_CallbackResize and grow the string to the edited length, so the string
// always holds exactly the text shown. Debian's libimgui ships them compiled (imgui_stdlib.o inside
// libimgui.a); this header is the one place the views include them from.
#pragma once

#include <string>

#include <imgui.h>
#include <imgui_stdlib.h>
