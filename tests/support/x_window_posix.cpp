#include "support/x_window_posix.h"

#include <cstdlib>

xcb_window_t show_colour_window(xcb_connection_t *c, const xcb_screen_t *screen, int16_t x, int16_t y,
                                uint16_t w, uint16_t h, uint32_t rgb) {
    const xcb_window_t win = xcb_generate_id(c);
    const uint32_t values[] = {rgb, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, win, screen->root, x, y, w, h, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, win);
    return win;
}

void x_round_trip(xcb_connection_t *c) {
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}
