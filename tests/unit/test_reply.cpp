// Unit tests of the reply pages and the FAQ page: token substitution and its
// escaping, the link line, the built-in pages, the page file copy, the FAQ's
// markup rules and the FAQ table itself.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "fixtures.h"
#include "form/form.h"
#include "reply/reply.h"

namespace {

const char HTTP_HEADER[] = "Pragma: no-cache\nContent-type: text/html\n\n";

std::string captured_stdout(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

void add_form_variable(const char* name, const char* value) {
  int at = form_variable_table.count;
  form_variable_table.entries[at].name = strdup(name);
  form_variable_table.entries[at].value = strdup(value);
  form_variable_table.count = at + 1;
}

// Everything the page wrote after the HTTP header block, which must be there.
std::string page_body(const std::string& reply) {
  EXPECT_EQ(reply.compare(0, std::strlen(HTTP_HEADER), HTTP_HEADER), 0) << reply.substr(0, 80);
  if (reply.size() < std::strlen(HTTP_HEADER)) return "";
  return reply.substr(std::strlen(HTTP_HEADER));
}

std::string escaped_for_faq(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '>': out += "&gt;"; break;
      case '<': out += "&lt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

class ReplyTest : public QuilletTest {
 protected:
  // Writes a page file and names it in the variant's setting.
  void use_page(ReplyVariant variant, const std::string& content) {
    std::string path = scratch_path(variant == REPLY_SUCCESS ? "success.html" : "failure.html");
    write_whole_file(path, content);
    set_page(variant, path);
  }
  void set_page(ReplyVariant variant, const std::string& setting) {
    char** field = variant == REPLY_SUCCESS ? &configuration.success_html_page
                                            : &configuration.failure_html_page;
    std::free(*field);
    *field = strdup(setting.c_str());
  }
  std::string reply_body(ReplyVariant variant) {
    return page_body(captured_stdout([&] { write_reply_page(variant); }));
  }
};

// ---- substitution ----

TEST_F(ReplyTest, TokensAreReplacedByTheEscapedValues) {
  add_form_variable("Name", "Jo");
  add_form_variable("a", "1");
  add_form_variable("b", "2");
  add_form_variable("", "E");
  add_form_variable("Name:", "colon");
  add_form_variable("hostile", "<script>alert('x')</script>");
  add_form_variable("bars", "||Name||");
  add_form_variable("quotes", "\"'&");
  add_form_variable("a", "second a");
  add_form_variable("|b", "bar b");
  add_form_variable("x", "X");
  add_form_variable("a b", "spaced");
  add_form_variable(" \"/\" ", "quoted slash");
  add_form_variable("G\xc3\xb6\xc3\x9f\xc3\xa9", "non-ASCII");
  add_form_variable("f-1.c:d[0]_e", "every name character");
  struct Row {
    const char* text;
    const char* expected;
  } rows[] = {
      {"Thank you ||Name||!", "Thank you Jo!"},
      {"||a|| and ||b||", "1 and 2"},
      {"||a||||b||", "12"},
      {"||||", "E"},
      {"||Name:||", "colon"},
      {"||name||", ""},                      // names are case-sensitive
      {"||missing||", ""},
      {"||a||", "1"},                        // the first of two entries
      {"a|||b||", "a|2"},                    // leftmost token: '|' is no name character
      {"|||x||", "|X"},
      {"||||x||", "Etoken not terminated {x||}"},
      {"||a||b||", "1token not terminated {b||}"},
      {"||G\xc3\xb6\xc3\x9f\xc3\xa9||", "non-ASCII"},
      {"||f-1.c:d[0]_e||", "every name character"},
      {"(||a||)", "(1)"},
      // Bars that start no token are text, and the scan goes on after them.
      {"a || b", "a || b"},
      {"if (a || b) || c\n", "if (a || b) || c\n"},
      {"x = a || \"/\" || \"/\";", "x = a || \"/\" || \"/\";"},
      {"||a b||", "token not terminated {||a b||}"},  // then "||" ends the line
      {"|| x||", "token not terminated {|| x||}"},
      {"|| x|| y", "|| x|| y"},
      {"||a|b|| c", "||a|b|| c"},
      {"||x\r\n", "||x\r\n"},
      {"||x<br>", "||x<br>"},
      {"||hostile||", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"<a title=\"||quotes||\">", "<a title=\"&quot;&#39;&amp;\">"},
      {"||bars||", "||Name||"},              // "||" inside a value is no token
      {"Total: ||sum\n", "token not terminated {Total: ||sum\n}"},
      {"x||a||y||b", "x1token not terminated {y||b}"},
      {"||", "token not terminated {||}"},
      {"|||", "token not terminated {|||}"},
      {"|x|", "|x|"},
      {"||x", "token not terminated {||x}"},
      // "token not terminated" takes back its own line only.
      {"||a||\n||b", "1\ntoken not terminated {||b}"},
      {"x||y\nz ||b||", "token not terminated {x||y\n}z 2"},
      {"100% %s %n %%", "100% %s %n %%"},     // never used as a format
      {"no tokens here\n", "no tokens here\n"},
      {"", ""},
  };
  for (const Row& row : rows) {
    reply_reset();
    std::string out = captured_stdout([&] { print_substituted(row.text); });
    EXPECT_EQ(out, row.expected) << "text: " << row.text;
  }
}

TEST_F(ReplyTest, WithoutAnySubmittedVariableEveryTokenIsEmpty) {
  EXPECT_EQ(captured_stdout([] { print_substituted("[||Name||][||||]"); }), "[][]");
}

TEST_F(ReplyTest, TokenNamesOfAnyLengthAreLookedUp) {
  std::string longest(FORM_BUFFER_SIZE - 1, 'n');
  add_form_variable(longest.c_str(), "found");
  std::string text = "[||" + longest + "||]";
  EXPECT_EQ(captured_stdout([&] { print_substituted(text.c_str()); }), "[found]");
  // A longer name cannot have been submitted: an empty value, and the text
  // after the token goes on.
  std::string too_long = "[||" + longest + "n||]||a";
  EXPECT_EQ(captured_stdout([&] { print_substituted(too_long.c_str()); }), "[token not terminated {]||a}");
}

TEST_F(ReplyTest, PrintfSubstitutedFormatsThenSubstitutes) {
  add_form_variable("a", "<1>");
  EXPECT_EQ(captured_stdout([] { printf_substituted("%s-%d ||a||", "t", 5); }), "t-5 &lt;1&gt;");
  EXPECT_EQ(captured_stdout([] { printf_substituted("%s", ""); }), "");
}

TEST_F(ReplyTest, PrintfSubstitutedWritesNothingPastItsLimit) {
  std::string fits(SUBSTITUTION_LIMIT, 'x');
  std::string too_long(SUBSTITUTION_LIMIT + 1, 'x');
  EXPECT_EQ(captured_stdout([&] { printf_substituted("%s", fits.c_str()); }), fits);
  EXPECT_EQ(captured_stdout([&] { printf_substituted("%s", too_long.c_str()); }), "");
}

// ---- the link line ----

TEST_F(ReplyTest, LinkLineStandsBeforeTheFirstClosingHtmlTag) {
  const std::string link = REPLY_LINK_LINE;
  add_form_variable("Name", "Jo");
  struct Row {
    const char* page;
    bool link_on;
    std::string expected;
  } rows[] = {
      {"</body></html>\n", true, "</body>" + link + "</html>\n"},
      {"</body></html>\n", false, "</body></html>\n"},
      {"<p>x</p></HTML>\n", true, "<p>x</p>" + link + "</HTML>\n"},
      {"</HTML></html>\n", true, "</HTML>" + link + "</html>\n"},  // lower case wins
      {"a </html> b </html>\n", true, "a " + link + "</html> b </html>\n"},
      {"</Html>\n", true, "</Html>\n"},
      {"<html><body>no closing tag</body>\n", true, "<html><body>no closing tag</body>\n"},
      {"<p>1</p></html>\n<p>2</p></html>\n", true,
       "<p>1</p>" + link + "</html>\n<p>2</p>" + link + "</html>\n"},
      {"Hi ||Name||</html>\n", true, "Hi Jo" + link + "</html>\n"},
      {"</html>", true, link + "</html>"},  // last line without a line end
  };
  for (const Row& row : rows) {
    configuration.add_orlund_link = row.link_on;
    use_page(REPLY_SUCCESS, row.page);
    EXPECT_EQ(reply_body(REPLY_SUCCESS), row.expected) << "page: " << row.page;
  }
}

TEST_F(ReplyTest, LinkLineIsOneNeutralLineWithoutTokens) {
  std::string link = REPLY_LINK_LINE;
  ASSERT_FALSE(link.empty());
  EXPECT_EQ(link.find('\n'), link.size() - 1) << "exactly one line, with its own line end";
  EXPECT_EQ(link.find("||"), std::string::npos);
  EXPECT_NE(link.find("href=\"https://"), std::string::npos);
}

// ---- the page file ----

TEST_F(ReplyTest, PageFileIsCopiedWithItsTokensReplaced) {
  add_form_variable("Name", "Jo <Smith>");
  add_form_variable("Total", "12%");
  use_page(REPLY_FAILURE,
           "<html><body>\n"
           "Sorry ||Name||, 100% of %s failed (||Total||).\n"
           "Total: ||sum\n"
           "</body>\n");
  EXPECT_EQ(reply_body(REPLY_FAILURE),
            "<html><body>\n"
            "Sorry Jo &lt;Smith&gt;, 100% of %s failed (12%).\n"
            "token not terminated {Total: ||sum\n}"
            "</body>\n");
  EXPECT_TRUE(log_messages().empty()) << log_text();
}

TEST_F(ReplyTest, EmptyPageFileGivesTheHeaderLinesOnly) {
  use_page(REPLY_SUCCESS, "");
  EXPECT_EQ(captured_stdout([] { write_reply_page(REPLY_SUCCESS); }), HTTP_HEADER);
  EXPECT_TRUE(log_messages().empty()) << log_text();
}

TEST_F(ReplyTest, LongLinesArriveInPiecesEachHandledAlone) {
  add_form_variable("Name", "Jo");
  // The first piece takes REPLY_PAGE_LINE_SIZE - 2 characters and ends in the
  // first '|' of the token, which the second piece then lacks.
  std::string head(REPLY_PAGE_LINE_SIZE - 3, 'x');
  use_page(REPLY_SUCCESS, head + "||Name||\nnext ||Name||\n");
  EXPECT_EQ(reply_body(REPLY_SUCCESS), head + "|" + "token not terminated {|Name||\n}" + "next Jo\n");
}

TEST_F(ReplyTest, NothingIsReplacedInsideAScriptElement) {
  const std::string link = REPLY_LINK_LINE;
  add_form_variable("Name", "Jo");
  add_form_variable(" \"/\" ", ";document.title=document.domain;//");
  // The first piece of an over-long line ends in "<scr", the second goes on.
  std::string head(REPLY_PAGE_LINE_SIZE - 2 - 4, 'x');
  const std::string repro = "<script>var back = document.referrer || \"/\" || \"/\";</script>\n";
  struct Row {
    std::string page;
    std::string expected;
  } rows[] = {
      {repro, repro},
      {"<script>\nif (a || b) go();\nx = a ||\n</script>\n<p>||Name||</p>\n",
       "<script>\nif (a || b) go();\nx = a ||\n</script>\n<p>Jo</p>\n"},
      {"<SCRIPT>x = ||Name||;</ScRiPt> ||Name||\n", "<SCRIPT>x = ||Name||;</ScRiPt> Jo\n"},
      {"<script\n src=\"a.js\">||Name||</script\n>||Name||\n", "<script\n src=\"a.js\">||Name||</script\n>Jo\n"},
      {"<script>\nvar n = \"||Name||\"; </script><p>||Name||</p>\n",
       "<script>\nvar n = \"||Name||\"; </script><p>Jo</p>\n"},
      {"<script>a||b</script> ||Name|| <script>||Name||</script> ||Name||\n",
       "<script>a||b</script> Jo <script>||Name||</script> Jo\n"},
      // Left open: nothing after it is replaced, and the link line still comes.
      {"<script>\nvar a = 1;\n<p>||Name||</p>\n</body></html>\n",
       "<script>\nvar a = 1;\n<p>||Name||</p>\n</body>" + link + "</html>\n"},
      // Only a whole "</script" tag name closes; "<script..." always opens.
      {"<script>\"</scripts>||Name||\"</script/>||Name||\n", "<script>\"</scripts>||Name||\"</script/>Jo\n"},
      {"<scripts>||Name||</scripts>||Name||\n", "<scripts>||Name||</scripts>||Name||\n"},
      // Inside "<!--" a "</script>" closes nothing until "-->".
      {"<script><!--\ndocument.write(\"<script src=a.js></script>\"); x = \"||Name||\";\n//--></script>||Name||\n",
       "<script><!--\ndocument.write(\"<script src=a.js></script>\"); x = \"||Name||\";\n//--></script>Jo\n"},
      {"<script><!-->||Name||</script>||Name||<!-- ||Name|| -->\n",
       "<script><!-->||Name||</script>Jo<!-- Jo -->\n"},
      // A tag cut between two pieces of an over-long line.
      {head + "<script>||Name||</script>||Name||\n", head + "<script>||Name||</script>Jo\n"},
      {"<script>" + head.substr(8) + "</script>||Name||\n", "<script>" + head.substr(8) + "</script>Jo\n"},
  };
  for (const Row& row : rows) {
    use_page(REPLY_SUCCESS, row.page);
    EXPECT_EQ(reply_body(REPLY_SUCCESS), row.expected) << "page: " << row.page.substr(0, 200);
  }
  // Each page starts outside any script, whatever the one before left open.
  use_page(REPLY_SUCCESS, "<script>\n");
  reply_body(REPLY_SUCCESS);
  use_page(REPLY_SUCCESS, "||Name||\n");
  EXPECT_EQ(reply_body(REPLY_SUCCESS), "Jo\n");
}

// ---- built-in pages ----

TEST_F(ReplyTest, UnsetPagesGiveTheBuiltInPageAndALogLine) {
  struct Row {
    ReplyVariant variant;
    const char* page;
    const char* log;
  } rows[] = {
      {REPLY_SUCCESS,
       "<HTML><BODY>\nemail sent.\n\"success_html_page\" message file is not set in quillet ini "
       "file.</BODY></HTML>\n",
       "\"success_html_page\" message file is not set in quillet ini file."},
      {REPLY_FAILURE,
       "<HTML><BODY>\nemail NOT sent.\n\"failure_html_page\" message file is not set in quillet ini "
       "file.</BODY></HTML>\n",
       "\"failure_html_page\" message file is not set in quillet ini file."},
  };
  for (const Row& row : rows) {
    std::remove(log_file_path);
    EXPECT_EQ(reply_body(row.variant), row.page);
    EXPECT_EQ(log_messages(), std::vector<std::string>{row.log});
  }
}

TEST_F(ReplyTest, TheOtherVariantsPageIsNotUsed) {
  use_page(REPLY_SUCCESS, "thanks\n");
  std::string body = reply_body(REPLY_FAILURE);
  EXPECT_EQ(body.find("thanks"), std::string::npos);
  EXPECT_EQ(body.rfind("<HTML><BODY>\nemail NOT sent.\n", 0), 0u) << body;
}

TEST_F(ReplyTest, UnreadablePagesGiveTheReasonAndTheWebAddressHint) {
  const std::string hint = "The setting is not a web address setting, it is a local file name setting.\n";
  const std::string missing_reason = "(2)(" + std::string(std::strerror(ENOENT)) + ")";
  struct Row {
    const char* setting;
    bool hint_expected;
  } rows[] = {
      {"x.html", false},
      {"http://www.example.org/thanks.html", true},
      {"https://www.example.org/thanks.html", true},
      {"http", true},
      {"HTTP://WWW.EXAMPLE.ORG/THANKS.HTML", false},  // the test is case-sensitive
      {" http://www.example.org/", false},
  };
  for (const Row& row : rows) {
    std::remove(log_file_path);
    set_page(REPLY_FAILURE, row.setting);
    std::string message = std::string("\"failure_html_page\" message file (") + row.setting +
                          ") is not readable for the reason " + missing_reason + ".";
    std::string expected = "<HTML><BODY>\nemail NOT sent.\n" + message + (row.hint_expected ? hint : "") +
                           "</BODY></HTML>\n";
    EXPECT_EQ(reply_body(REPLY_FAILURE), expected) << row.setting;
    EXPECT_EQ(log_messages(), std::vector<std::string>{message}) << row.setting;
  }
}

TEST_F(ReplyTest, ADirectoryAsPageGivesTheBuiltInPageWithItsReason) {
  // fopen accepts a directory on POSIX and only the first read fails; the
  // visitor must not get a blank page for it.
  std::string directory = scratch_path("pages");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  set_page(REPLY_SUCCESS, directory);
  std::string message = "\"success_html_page\" message file (" + directory +
                        ") is not readable for the reason (" + std::to_string(EISDIR) + ")(" +
                        std::strerror(EISDIR) + ").";
  EXPECT_EQ(reply_body(REPLY_SUCCESS), "<HTML><BODY>\nemail sent.\n" + message + "</BODY></HTML>\n");
  EXPECT_EQ(log_messages(), std::vector<std::string>{message});
}

// ---- the kinds of reply ----

TEST_F(ReplyTest, AcceptAsksForJsonOnlyWhenItNamesJsonAndNotHtml) {
  struct Row {
    const char* accept;
    bool json;
  } rows[] = {
      {"application/json", true},
      {"Application/JSON", true},
      {"  application/json ;charset=utf-8 ", true},
      {"application/json, */*;q=0.8", true},
      {"application/json, text/html;q=0", true},
      {"application/json, text/html;q=0.000", true},
      {"application/json, text/html; q=0.001", false},
      {"text/html, application/json", false},
      {"text/html;q=0.1,application/json", false},
      {"application/json;q=0", false},
      {"application/json;q=0.0, text/plain", false},
      {"*/*", false},
      {"application/*", false},
      {"application/jsonx", false},
      {"xapplication/json", false},
      {"application/json-seq", false},
      {"", false},
      {",,,", false},
      {nullptr, false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(accept_wants_json(row.accept), row.json) << (row.accept ? row.accept : "null");
}

TEST_F(ReplyTest, JsonRepliesCarryTheStatusAndOneObject) {
  static const char* const missing[] = {"Name", "Say \"hi\"\\<b>&\x01"};
  struct Row {
    RunOutcome outcome;
    const char* status;
    const char* body;
  } rows[] = {
      {RUN_SENT, "200 OK", "{\"sent\":true}\n"},
      {RUN_HONEYPOT, "200 OK", "{\"sent\":true}\n"},
      {RUN_ORIGIN_REFUSED, "403 Forbidden", "{\"sent\":false,\"reason\":\"origin\"}\n"},
      {RUN_RECIPIENT_REFUSED, "403 Forbidden", "{\"sent\":false,\"reason\":\"recipient\"}\n"},
      {RUN_MISSING_FIELDS, "422 Unprocessable Content",
       "{\"sent\":false,\"reason\":\"missing\",\"missing\":"
       "[\"Name\",\"Say \\\"hi\\\"\\\\\\u003cb\\u003e\\u0026\\u0001\"]}\n"},
      {RUN_INVALID_MESSAGE, "422 Unprocessable Content", "{\"sent\":false,\"reason\":\"invalid\"}\n"},
      {RUN_RATE_LIMITED, "429 Too Many Requests", "{\"sent\":false,\"reason\":\"rate_limit\"}\n"},
      {RUN_NOT_DELIVERED, "502 Bad Gateway", "{\"sent\":false,\"reason\":\"mail_server\"}\n"},
  };
  // A redirect and a page are set: JSON goes first when it is asked for.
  set_page(REPLY_SUCCESS, "unused.html");
  configuration.success_redirect = strdup("https://www.example.com/thanks");
  request_variables.accept = "application/json";
  reply_facts.missing_fields[0] = missing[0];
  reply_facts.missing_fields[1] = missing[1];
  reply_facts.missing_count = 2;
  for (const Row& row : rows) {
    reply_facts.outcome = row.outcome;
    EXPECT_EQ(captured_stdout(write_reply), "Status: " + std::string(row.status) +
                                                "\nPragma: no-cache\nContent-type: application/json\n\n" + row.body);
  }
  // The same with an allowed Origin: the browser may let the page read it.
  reply_facts.cors_origin = "https://www.example.com";
  reply_facts.vary_origin = true;
  reply_facts.outcome = RUN_RATE_LIMITED;
  EXPECT_EQ(captured_stdout(write_reply),
            "Status: 429 Too Many Requests\nPragma: no-cache\nAccess-Control-Allow-Origin: https://www.example.com\n"
            "Vary: Origin\nContent-type: application/json\n\n{\"sent\":false,\"reason\":\"rate_limit\"}\n");
}

TEST_F(ReplyTest, RedirectsGoWhereTheirVariantSaysWithTheAddressEscaped) {
  configuration.success_redirect = strdup("https://www.example.com/thanks?a=1&b=\"<x>\"");
  use_page(REPLY_FAILURE, "Sorry\n");
  struct Row {
    RunOutcome outcome;
    const char* starts;
  } rows[] = {
      {RUN_SENT, "Status: 303 See Other\nLocation: https://www.example.com/thanks?a=1&b=\"<x>\"\nPragma: no-cache\n"
                 "Content-type: text/html\n\n"},
      {RUN_HONEYPOT, "Status: 303 See Other\nLocation: https://www.example.com/thanks?a=1&b=\"<x>\"\n"},
      // No failure_redirect: the failure page, as without either setting.
      {RUN_NOT_DELIVERED, "Pragma: no-cache\nContent-type: text/html\n\nSorry\n"},
      {RUN_MISSING_FIELDS, "Pragma: no-cache\nContent-type: text/html\n\nSorry\n"},
  };
  for (const char* accept : {static_cast<const char*>(nullptr), "*/*", "text/html,application/json"}) {
    request_variables.accept = accept;
    for (const Row& row : rows) {
      reply_facts.outcome = row.outcome;
      std::string reply = captured_stdout(write_reply);
      EXPECT_EQ(reply.rfind(row.starts, 0), 0u) << reply;
      if (row.outcome == RUN_SENT) {
        EXPECT_NE(reply.find("<a href=\"https://www.example.com/thanks?a=1&amp;b=&quot;&lt;x&gt;&quot;\">"),
                  std::string::npos)
            << reply;
      }
    }
  }
}

TEST_F(ReplyTest, PagesCarryTheCorsLinesAndTheMissingFieldsWhateverTheFormSays) {
  add_form_variable("quillet_missing_fields", "<forged>");
  add_form_variable("Name", "Jo");
  use_page(REPLY_FAILURE, "Missing: ||quillet_missing_fields||; ||Name||\n");
  reply_facts.outcome = RUN_MISSING_FIELDS;
  reply_facts.vary_origin = true;
  EXPECT_EQ(captured_stdout(write_reply),
            "Pragma: no-cache\nVary: Origin\nContent-type: text/html\n\nMissing: ; Jo\n");
  static const char* const missing[] = {"E-mail", "<Message>"};
  reply_facts.missing_fields[0] = missing[0];
  reply_facts.missing_fields[1] = missing[1];
  reply_facts.missing_count = 2;
  reply_facts.cors_origin = "http://127.0.0.1:8080";
  EXPECT_EQ(captured_stdout(write_reply),
            "Pragma: no-cache\nAccess-Control-Allow-Origin: http://127.0.0.1:8080\nVary: Origin\n"
            "Content-type: text/html\n\nMissing: E-mail, &lt;Message&gt;; Jo\n");
}

// ---- print_escaped ----

TEST_F(ReplyTest, PrintEscapedEscapesFourCharacters) {
  struct Row {
    const char* text;
    const char* expected;
  } rows[] = {
      {"a&b", "a&amp;b"},
      {"<input type=\"text\">", "&lt;input type=&quot;text&quot;&gt;"},
      {"it's", "it's"},  // the apostrophe stays
      {"&amp;", "&amp;amp;"},
      {"%s %d", "%s %d"},
      {"", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(captured_stdout([&] {
                std::fputs("[", stdout);
                print_escaped(row.text);
                std::fputs("]\n", stdout);
              }),
              std::string("[") + row.expected + "]\n");
  }
}

TEST_F(ReplyTest, PrintEscapedCutsBetweenWholeEscapesAtItsLimit) {
  struct Row {
    std::string text;
    std::string expected;
  } rows[] = {
      {std::string(FAQ_ESCAPED_LIMIT, 'a'), std::string(FAQ_ESCAPED_LIMIT, 'a')},
      {std::string(FAQ_ESCAPED_LIMIT + 2, 'a'), std::string(FAQ_ESCAPED_LIMIT, 'a')},
      {std::string(FAQ_ESCAPED_LIMIT - 5, 'a') + "&", std::string(FAQ_ESCAPED_LIMIT - 5, 'a') + "&amp;"},
      {std::string(FAQ_ESCAPED_LIMIT - 4, 'a') + "&b", std::string(FAQ_ESCAPED_LIMIT - 4, 'a')},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(captured_stdout([&] { print_escaped(row.text.c_str()); }), row.expected);
  }
  std::string many(500, '&');
  std::string out = captured_stdout([&] { print_escaped(many.c_str()); });
  EXPECT_EQ(out.size(), static_cast<size_t>(FAQ_ESCAPED_LIMIT / 5 * 5));
  EXPECT_EQ(out.substr(out.size() - 5), "&amp;");
}

// ---- the FAQ's markup rules ----

std::string rendered(std::vector<const char*> lines, FaqRule* rules) {
  return captured_stdout([&] { render_faq_lines(lines.data(), static_cast<int>(lines.size()), rules); });
}

const std::vector<const char*> SMALL_FAQ = {
    "[q]", "Why \"this\" & that?", "[a]", "Use <input type=\"text\">.", "",
    "[pre]", "<b>raw</b> &amp;", "[/pre]", "after <i>", "x [b]y[/b]",
    "[q]", "Second?", "[a]", "two",
};

TEST_F(ReplyTest, IndexPassListsTheQuestionsOnly) {
  EXPECT_EQ(rendered(SMALL_FAQ, FAQ_INDEX_RULES),
            "<li><A HREF=\"#Q1\">Q 1 </A>\n"
            "Why \"this\" & that?\n"
            "</li>\n\n"
            "<li><A HREF=\"#Q2\">Q 2 </A>\n"
            "Second?\n"
            "</li>\n\n");
}

TEST_F(ReplyTest, AnswerPassEscapesAnswersButNotQuestionsOrBlocks) {
  EXPECT_EQ(rendered(SMALL_FAQ, FAQ_ANSWER_RULES),
            "<BR><H3><a name=\"Q1\">Q 1 </a>\n"
            "Why \"this\" & that?\n"
            "</H3><B>A 1 - </B>\n"
            "Use &lt;input type=&quot;text&quot;&gt;.\n"
            "\n"
            "<pre>\n"
            "<b>raw</b> &amp;\n"
            "</pre>\n"
            "after &lt;i&gt;\n"
            "x [b]y[/b]\n"
            "<BR><H3><a name=\"Q2\">Q 2 </a>\n"
            "Second?\n"
            "</H3><B>A 2 - </B>\n"
            "two\n");
}

TEST_F(ReplyTest, TagsAreReplacedWhereTheyStand) {
  EXPECT_EQ(rendered({"see [q] here", "[a]"}, FAQ_INDEX_RULES),
            "see <li><A HREF=\"#Q1\">Q 1 </A> here\n</li>\n\n");
  // Only the first occurrence of a tag in a line is replaced.
  EXPECT_EQ(rendered({"[q]", "q", "[a]", "[pre] [pre]", "<x>", "[/pre]"}, FAQ_ANSWER_RULES),
            "<BR><H3><a name=\"Q1\">Q 1 </a>\nq\n</H3><B>A 1 - </B>\n<pre> [pre]\n<x>\n</pre>\n");
}

TEST_F(ReplyTest, ALaterRuleInTheSameLineDecidesTheEffects) {
  // "[q]" would switch escaping off, "[a]" (applied after it) switches it on
  // after the line: the next line is escaped.
  EXPECT_EQ(rendered({"[q] and [a]", "<b>"}, FAQ_ANSWER_RULES),
            "<BR><H3><a name=\"Q1\">Q 1 </a> and </H3><B>A 1 - </B>\n&lt;b&gt;\n");
}

TEST_F(ReplyTest, CountersRunOnUntilReset) {
  rendered({"[q]", "[a]"}, FAQ_INDEX_RULES);
  EXPECT_EQ(rendered({"[q]", "[a]"}, FAQ_INDEX_RULES), "<li><A HREF=\"#Q2\">Q 2 </A>\n</li>\n\n");
  reply_reset();
  EXPECT_EQ(rendered({"[q]", "[a]"}, FAQ_INDEX_RULES), "<li><A HREF=\"#Q1\">Q 1 </A>\n</li>\n\n");
}

TEST_F(ReplyTest, OverlongLinesAreCutToTheLineLimit) {
  std::string line(FAQ_LINE_LIMIT + 50, 'y');
  EXPECT_EQ(rendered({line.c_str()}, FAQ_INDEX_RULES), std::string(FAQ_LINE_LIMIT, 'y') + "\n");
}

// ---- the FAQ table ----

// The shape the FAQ page documents for its table; the table must keep to it.
constexpr int FAQ_TABLE_LINES = 302;
constexpr int FAQ_TABLE_ENTRIES = 29;
constexpr int FAQ_TABLE_PRE_BLOCKS = 10;
constexpr size_t FAQ_TABLE_LONGEST_LINE = 208;
constexpr size_t FAQ_QUESTION_LINES_MIN = 1, FAQ_QUESTION_LINES_MAX = 5;
constexpr size_t FAQ_ANSWER_LINES_MIN = 2, FAQ_ANSWER_LINES_MAX = 50;

struct FaqEntry {
  std::vector<std::string> question;
  std::vector<std::string> answer;
};

std::vector<FaqEntry> faq_entries() {
  std::vector<FaqEntry> entries;
  bool in_question = false;
  for (int i = 0; i < FAQ_LINE_COUNT; i++) {
    std::string line = FAQ_LINES[i];
    if (line == "[q]") {
      entries.push_back(FaqEntry{});
      in_question = true;
    } else if (line == "[a]") {
      in_question = false;
    } else if (!entries.empty()) {
      (in_question ? entries.back().question : entries.back().answer).push_back(line);
    }
  }
  return entries;
}

bool is_tag(const std::string& line) {
  return line == "[q]" || line == "[a]" || line == "[pre]" || line == "[/pre]";
}

// Text written without escaping may hold markup characters only as entities.
bool markup_free(const std::string& line) {
  if (line.find('<') != std::string::npos || line.find('>') != std::string::npos) return false;
  for (size_t at = line.find('&'); at != std::string::npos; at = line.find('&', at + 1)) {
    bool entity = false;
    for (const char* name : {"&lt;", "&gt;", "&amp;", "&quot;"})
      if (line.compare(at, std::strlen(name), name) == 0) entity = true;
    if (!entity) return false;
  }
  return true;
}

TEST_F(ReplyTest, FaqTableHasItsShape) {
  ASSERT_EQ(FAQ_LINE_COUNT, FAQ_TABLE_LINES);
  EXPECT_EQ(std::string(FAQ_LINES[0]), "[q]");
  EXPECT_EQ(std::string(FAQ_LINES[FAQ_LINE_COUNT - 1]), "") << "the table ends with empty lines";
  EXPECT_EQ(std::string(FAQ_LINES[FAQ_LINE_COUNT - 2]), "");

  std::vector<FaqEntry> entries = faq_entries();
  ASSERT_EQ(entries.size(), static_cast<size_t>(FAQ_TABLE_ENTRIES));
  int pre_blocks = 0;
  int paragraph_breaks = 0;  // empty answer lines with more of the answer after them
  for (size_t n = 0; n < entries.size(); n++) {
    const FaqEntry& entry = entries[n];
    SCOPED_TRACE("entry " + std::to_string(n + 1));
    EXPECT_GE(entry.question.size(), FAQ_QUESTION_LINES_MIN);
    EXPECT_LE(entry.question.size(), FAQ_QUESTION_LINES_MAX);
    EXPECT_GE(entry.answer.size(), FAQ_ANSWER_LINES_MIN);
    EXPECT_LE(entry.answer.size(), FAQ_ANSWER_LINES_MAX);
    for (size_t i = 0; i + 1 < entry.answer.size(); i++)
      if (entry.answer[i].empty() && !entry.answer[i + 1].empty()) paragraph_breaks++;
    for (const std::string& line : entry.question) {
      EXPECT_FALSE(line.empty());
      EXPECT_TRUE(markup_free(line)) << "questions are written unescaped: " << line;
    }
    bool in_block = false;
    for (const std::string& line : entry.answer) {
      if (line == "[pre]") {
        EXPECT_FALSE(in_block);
        in_block = true;
        pre_blocks++;
      } else if (line == "[/pre]") {
        EXPECT_TRUE(in_block);
        in_block = false;
      } else if (in_block) {
        EXPECT_TRUE(markup_free(line)) << "blocks are written unescaped: " << line;
      }
    }
    EXPECT_FALSE(in_block) << "a block left open";
  }
  EXPECT_EQ(pre_blocks, FAQ_TABLE_PRE_BLOCKS);
  EXPECT_GT(paragraph_breaks, 0) << "empty lines break answers into paragraphs";
}

TEST_F(ReplyTest, FaqLinesAreShortAndHoldNoStrayTags) {
  for (int i = 0; i < FAQ_LINE_COUNT; i++) {
    std::string line = FAQ_LINES[i];
    EXPECT_LE(line.size(), FAQ_TABLE_LONGEST_LINE) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    if (is_tag(line)) continue;
    for (const char* tag : {"[q]", "[a]", "[pre]", "[/pre]"})
      EXPECT_EQ(line.find(tag), std::string::npos) << "a tag inside a line counts as one: " << line;
  }
}

// ---- the FAQ page ----

TEST_F(ReplyTest, FaqPageHasItsFrameIndexAndAnswers) {
  std::string page = captured_stdout([] { write_faq_page(); });
  const std::string head = "<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>QUILLET FAQ</H2><BR><UL>";
  EXPECT_EQ(page.rfind(head + "<li><A HREF=\"#Q1\">Q 1 </A>\n", 0), 0u) << page.substr(0, 200);
  const std::string tail = "</BODY>\n</HTML>\n";
  ASSERT_GE(page.size(), tail.size());
  EXPECT_EQ(page.substr(page.size() - tail.size()), tail);

  size_t middle = page.find("</UL><BR>");
  ASSERT_NE(middle, std::string::npos);
  EXPECT_EQ(page.find("</UL><BR>", middle + 1), std::string::npos);
  std::string index = page.substr(0, middle);
  std::string answers = page.substr(middle);

  size_t in_index = 0, in_answers = 0;
  for (int n = 1; n <= FAQ_TABLE_ENTRIES; n++) {
    std::string number = std::to_string(n);
    std::string item = "<li><A HREF=\"#Q" + number + "\">Q " + number + " </A>\n";
    std::string heading = "<BR><H3><a name=\"Q" + number + "\">Q " + number + " </a>\n";
    std::string answer = "</H3><B>A " + number + " - </B>\n";
    size_t found = index.find(item, in_index);
    ASSERT_NE(found, std::string::npos) << item;
    in_index = found + item.size();
    found = answers.find(heading, in_answers);
    ASSERT_NE(found, std::string::npos) << heading;
    size_t answer_at = answers.find(answer, found);
    ASSERT_NE(answer_at, std::string::npos) << answer;
    in_answers = answer_at;
  }
  EXPECT_EQ(index.find("Q 30 "), std::string::npos);
  EXPECT_EQ(answers.find("\"Q30\""), std::string::npos);
  EXPECT_EQ(index.find("<pre>"), std::string::npos) << "answers stay out of the index";
}

TEST_F(ReplyTest, FaqPageWritesEveryTableLineInItsForm) {
  std::string page = captured_stdout([] { write_faq_page(); });
  size_t middle = page.find("</UL><BR>");
  ASSERT_NE(middle, std::string::npos);
  std::string index = page.substr(0, middle);
  std::string answers = page.substr(middle);
  for (const FaqEntry& entry : faq_entries()) {
    for (const std::string& line : entry.question) {
      EXPECT_NE(index.find("\n" + line + "\n"), std::string::npos) << line;
      EXPECT_NE(answers.find("\n" + line + "\n"), std::string::npos) << line;
    }
    bool in_block = false;
    for (const std::string& line : entry.answer) {
      if (line == "[pre]" || line == "[/pre]") {
        in_block = line == "[pre]";
        continue;
      }
      if (line.empty()) continue;
      std::string written = in_block ? line : escaped_for_faq(line);
      EXPECT_NE(answers.find("\n" + written + "\n"), std::string::npos) << written;
      EXPECT_EQ(index.find(line), std::string::npos) << "an answer line in the index: " << line;
    }
  }

  // The answer section writes one page line per table line, tags included,
  // so an empty table line (a paragraph break, the table's end) is an empty
  // line of the page in the same place.
  const std::string opening = "</UL><BR>";
  const std::string tail = "</BODY>\n</HTML>\n";
  ASSERT_GE(answers.size(), opening.size() + tail.size());
  std::string section = answers.substr(opening.size(), answers.size() - opening.size() - tail.size());
  std::vector<std::string> written;
  for (size_t at = 0, end; (end = section.find('\n', at)) != std::string::npos; at = end + 1)
    written.push_back(section.substr(at, end - at));
  ASSERT_EQ(written.size(), static_cast<size_t>(FAQ_TABLE_LINES));
  for (int i = 0; i < FAQ_LINE_COUNT; i++) {
    if (FAQ_LINES[i][0] != '\0') continue;
    EXPECT_EQ(written[i], "") << "table line " << i + 1;
  }
}

}  // namespace
