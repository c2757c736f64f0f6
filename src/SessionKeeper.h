// Keeps the window's session between runs: at start it fills the fields and restores the window's
// size, split, trend pane and watch rate from the settings file (nothing connects by itself); after a
// connect to a controller it adds back the tags last watched on that controller (keyed by its
// Identity), with their number formats and trend ticks; while running it writes what changed, at most
// once a second, and at the end once more.
// The file is written atomically, and a corrupt one is set aside and reported once, in the tree's line.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "Settings.h"

class MainWindow;

class SessionKeeper {
public:
    SessionKeeper(MainWindow* window, std::filesystem::path folder);
    // Writes the session a last time.
    ~SessionKeeper();
    SessionKeeper(const SessionKeeper&) = delete;
    SessionKeeper& operator=(const SessionKeeper&) = delete;

    // Reads the file and applies it; `addressGiven`: the command line named the controller, which
    // then wins over the remembered address and port.
    void restore(bool addressGiven);
    // Once a frame: a new controller's remembered list, and a write when something changed.
    void update();
    // What would be written now.
    Settings current() const;
    bool saveNow();
    const std::string& problem() const { return store.problem(); }
    const SettingsStore& getStore() const { return store; }

private:
    MainWindow* window;
    SettingsStore store;
    Settings saved;   // as last read or written
    Settings kept;    // what the window does not show (the other controllers' lists, the folder)
    uint64_t restoredEpoch = 0;
    std::string controller;        // the key of the controller whose list the table shows
    std::string pendingController; // connected to it, its list not restored yet
    int64_t lastCheckNs = 0;
};
