// Fake cores signed with the build's test keys, and the pins of those keys: the
// publisher's and a stranger's.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sample_files.h"
#include "test_support.h"

class SignedSamples : public ::testing::Test {
protected:
    void SetUp() override
    {
        samples_ = HostFolder("TOVRIN_SIGNED_SAMPLES");
        ASSERT_FALSE(samples_.empty()) << "TOVRIN_SIGNED_SAMPLES not set";
        publisher_ = ReadPin(L"publisher.pin");
        stranger_ = ReadPin(L"stranger.pin");
        ASSERT_EQ(publisher_.size(), 64u);
        ASSERT_EQ(stranger_.size(), 64u);
    }
    std::string ReadPin(const wchar_t* name) const
    {
        std::string pin = ReadWholeFile(samples_ + L"\\" + name);
        return pin.substr(0, pin.find_first_of("\r\n"));
    }
    std::wstring Sample(const wchar_t* name) const
    {
        return samples_ + L"\\" + name;
    }

    std::wstring samples_;
    std::string publisher_;
    std::string stranger_;
};
