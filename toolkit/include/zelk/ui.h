// The zelk::ui toolkit: everything in one include.
#pragma once

#include <zelk/ui/Application.h>
#include <zelk/ui/Button.h>
#include <zelk/ui/Exceptions.h>
#include <zelk/ui/Font.h>
#include <zelk/ui/ImGuiPanel.h>
#include <zelk/ui/Rectangle.h>
#include <zelk/ui/RenderContext.h>
#include <zelk/ui/Renderer.h>
#include <zelk/ui/SVG.h>
#include <zelk/ui/ScrollView.h>
#include <zelk/ui/Stack.h>
#include <zelk/ui/TextElement.h>
#include <zelk/ui/Texture.h>
#include <zelk/ui/Types.h>
#include <zelk/ui/Widget.h>
#include <zelk/ui/Window.h>
#include <zelk/ui/imgui_compat.h>
