// Base fixture: every test gets its own simulated board state before anything of the system runs.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "board/Board.h"

namespace test {

class BoardTest : public ::testing::Test {
protected:
    // The board description the test starts from; empty means a bare board.
    virtual std::string BoardText() const { return {}; }
    void SetUp() override;
    void TearDown() override;

    // Applies more statements to the current board, failing the test on a bad one.
    void Apply(const std::string& text);
    sim::BoardState* Board() const { return sim::State(); }
    const std::wstring& BoardFile() const { return file_; }

private:
    std::wstring file_;
};

// A fresh state file for this process, named after the running test.
std::wstring FreshBoardFile();

}  // namespace test
