#pragma once

// A one-line progress bar on standard error for the long passes over large heightmaps:
//
//     writing   [##############----------------]  47%
//
// Standard output stays free for results. On a terminal the bar is redrawn (with a carriage
// return) when the whole percentage changes and ends with a newline once the work is done.
// When standard error is not a terminal (a log, a pipe, CI) only the finished bar is written,
// as one line: no carriage returns flood the log.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

// Images from this many samples on (a 2049 x 2049 map and larger) take long enough to read or
// write that a bar is worth showing; smaller ones finish before it could be read.
constexpr uint64_t kProgressThresholdSamples = 4'000'000;

class Progress
{
public:
    // label: what is being done ("writing"); total: units of work (rows, samples), >= 0;
    // shown: false makes every call a no-op.
    Progress(std::string label, uint64_t total, bool shown)
        : label_(std::move(label)), total_(total), shown_(shown), terminal_(isatty(STDERR_FILENO) == 1)
    {
        draw(0);
    }

    // A bar for work over an image of the given number of samples, shown for large images only.
    static Progress forSamples(std::string label, uint64_t total, uint64_t samples)
    {
        return Progress(std::move(label), total, samples >= kProgressThresholdSamples);
    }

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // An interrupted bar (an error thrown past it) still ends its line, so that the error
    // message starts on a line of its own.
    ~Progress()
    {
        if (open_)
            std::fputc('\n', stderr);
    }

    void advance(uint64_t amount)
    {
        done_ = amount > total_ - done_ ? total_ : done_ + amount;
        draw(done_);
    }

    // Draws 100% and ends the line.
    void finish()
    {
        done_ = total_;
        terminal_ = true; // the last state is drawn whatever standard error is
        draw(done_);
        if (open_)
        {
            std::fputc('\n', stderr);
            std::fflush(stderr);
            open_ = false;
        }
    }

private:
    void draw(uint64_t done)
    {
        if (!shown_ || !terminal_)
            return;
        const int percent = total_ == 0 ? 100 : int(done * 100 / total_);
        if (percent == percent_)
            return;
        percent_ = percent;
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "%s%-10s[%s%s] %3d%%", open_ ? "\r" : "", label_.c_str(),
                     std::string(filled, '#').c_str(), std::string(kWidth - filled, '-').c_str(),
                     percent);
        std::fflush(stderr);
        open_ = true;
    }

    std::string label_;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    int percent_ = -1; // last percentage drawn
    bool shown_ = false;
    bool terminal_ = false; // standard error is a terminal: the bar is redrawn as work goes on
    bool open_ = false; // a bar is on the line and no newline has followed yet
};
