#include <gtest/gtest.h>

#include "app/run_folders.h"

namespace {

TEST(InjectBaseHref, PlacesBaseElement) {
  for (const auto& [html, base, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"<html><HEAD><Title>X</Title></HEAD>", "http://b/", "<html><HEAD><base href=\"http://b/\"><Title>X</Title></HEAD>"},
           {"<head lang=\"en\"><body>", "u", "<head lang=\"en\"><base href=\"u\"><body>"},
           {"<header></header><head>", "u", "<base href=\"u\"><header></header><head>"},  // <header> is no head
           {"<head", "u", "<base href=\"u\"><head"},
           {"<p>Caf\xC3\xA9</p>", "", "<p>Caf\xC3\xA9</p>"}})
    EXPECT_EQ(InjectBaseHref(html, base), expected) << html;
}

}  // namespace
