// The terminal `term` runs in: keys as they are typed, one by one and unechoed, and the
// device's bytes shown as they arrive, with nothing added or translated on the way.
// One implementation per system (keyboard_linux.cpp, keyboard_win32.cpp).
#pragma once

#include <memory>
#include <string>

namespace velmora::console {

class Keyboard {
  public:
    // Switches the input to raw keys when it is a terminal (or a Windows console); piped
    // input is read as it comes. The input is given back as it was on every way out.
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    // Waits at most `ms` for keys and appends what was typed to *keys. False once the
    // input has ended (the keyboard went away, or the pipe was closed).
    bool Read(std::string* keys, int ms);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Writes the bytes to the standard output at once, unbuffered and untranslated.
void ShowOnScreen(const std::string& bytes);

}  // namespace velmora::console
