// A 32-bit top-down picture read back from GDI, with the checks the window
// tests make on it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/StatusBoard.h"
#include "platform/Handles.h"

namespace quorvex::testing {

struct PixelImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> bgrx;

    static BITMAPINFO Format(int width, int height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        return info;
    }

    // The pixels of a bitmap that is not selected into a device context.
    static PixelImage Of(HBITMAP bitmap) {
        BITMAP size{};
        GetObjectW(bitmap, sizeof size, &size);
        PixelImage image{size.bmWidth, size.bmHeight, {}};
        image.bgrx.resize(static_cast<std::size_t>(size.bmWidth) * size.bmHeight);
        BITMAPINFO info = Format(size.bmWidth, size.bmHeight);
        HDC screen = GetDC(nullptr);
        GetDIBits(screen, bitmap, 0, static_cast<UINT>(size.bmHeight), image.bgrx.data(), &info,
                  DIB_RGB_COLORS);
        ReleaseDC(nullptr, screen);
        return image;
    }

    // As a packed colour: red + 256 * green + 65536 * blue.
    PackedColour At(int x, int y) const {
        const std::uint32_t pixel = bgrx[static_cast<std::size_t>(y) * width + x];
        return ((pixel >> 16) & 0xFF) | (pixel & 0xFF00) | ((pixel & 0xFF) << 16);
    }

    int Count(PackedColour colour, const RECT& area) const {
        int count = 0;
        for (int y = area.top; y < area.bottom && y < height; ++y) {
            for (int x = area.left; x < area.right && x < width; ++x) {
                count += At(x, y) == colour ? 1 : 0;
            }
        }
        return count;
    }

    bool SaveBmp(const std::wstring& path) const {
        BITMAPINFOHEADER header = Format(width, height).bmiHeader;
        const auto imageSize = static_cast<DWORD>(bgrx.size() * sizeof(std::uint32_t));
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + imageSize;
        const UniqueHandle out(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        return out.get() != INVALID_HANDLE_VALUE &&
               WriteFile(out.get(), &file, sizeof file, &written, nullptr) != FALSE &&
               WriteFile(out.get(), &header, sizeof header, &written, nullptr) != FALSE &&
               WriteFile(out.get(), bgrx.data(), imageSize, &written, nullptr) != FALSE;
    }
};

// Reads back what a device context shows in an area, into a new picture.
inline PixelImage CopyFromDc(HDC source, int x, int y, int width, int height) {
    HDC screen = GetDC(nullptr);
    const UniqueGdi<HBITMAP> bitmap(CreateCompatibleBitmap(screen, width, height));
    HDC memory = CreateCompatibleDC(screen);
    const HGDIOBJ previous = SelectObject(memory, bitmap.get());
    BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return PixelImage::Of(bitmap.get());
}

}  // namespace quorvex::testing
