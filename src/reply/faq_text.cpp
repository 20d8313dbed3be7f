// faq_text.cpp - the questions and answers of the -FAQ page.
//
// Each entry is a line "[q]", its question lines, a line "[a]" and its answer
// lines. Answer lines are HTML-escaped when the page is written, except those
// between a "[pre]" and a "[/pre]" line, which are written as they stand, as
// are the question lines: markup characters meant as text are written as
// entities there. A tag counts wherever it stands in a line, so none may
// appear inside the text. An empty line in an answer breaks it into
// paragraphs, and the table ends with empty lines. Long lines are split over
// several literals here; each element of the table is one line of the page.
#include "quillet_version.h"
#include "reply/reply.h"

const char* const FAQ_LINES[] = {
    "[q]",
    "What does quillet do, and what does it need?",
    "[a]",
    "quillet is a CGI program: for each form a visitor sends with the POST method, the web "
    "server starts it once. It decodes the form, reads its ini file and composes one e-mail "
    "from the lines that file lists;",
    "it hands the e-mail to one mail server over SMTP, answers the browser with your "
    "success or failure page, logs what it did, and ends.",
    "It needs its ini file beside it, a log file the web server's account may write, and a "
    "mail server that takes mail from the web server's machine (with a login over TLS, see "
    "the last question, or without).",
    "[q]",
    "How do I install quillet as a CGI program?",
    "[a]",
    "Copy the program into a directory where your web server runs CGI programs (on Debian "
    "/usr/lib/cgi-bin, at the address /cgi-bin/), with the ini file beside it, named after "
    "the program (see the next question).",
    "The web server's account (www-data on Debian and Ubuntu, apache on Red Hat) must be "
    "able to execute the program: mode 755. Let it and its directory belong to root or to "
    "whoever looks after the site,",
    "never to the web server's account, which must not be able to change them. Under suEXEC "
    "both belong to the site's user and must not be writable by group or others, or suEXEC "
    "refuses to run the program.",
    "The account must be able to read the ini file (mode 644) and write the log file. "
    "Create the log and give it to that account, readable by owner and group only, since it "
    "holds what visitors wrote:",
    "[pre]",
    "cd /usr/lib/cgi-bin",
    "install -m 755 /path/to/quillet quillet.cgi",
    "install -m 644 /path/to/my-form.ini quillet.ini",
    "install -m 640 -o www-data /dev/null quillet.log",
    "[/pre]",
    "",
    "On Windows, put the .exe in a folder where the web server may run programs; the "
    "account that runs them needs read and execute rights on the program, read rights on "
    "the ini file and modify rights on the log.",
    "Point the form's action at the program's web address, such as /cgi-bin/quillet.cgi, "
    "and send the form once with \"logging debug\" in the ini file to see every step in the "
    "log.",
    "[q]",
    "What are the ini file and the log file called, and where must they be?",
    "[a]",
    "Both take their names from the path the program was started under: \".ini\" and "
    "\".log\" take the place of the first \".exe\" or \".cgi\" in it, or are added to a "
    "name without one. So they sit beside the program:",
    "[pre]",
    "program                           ini file           log file",
    "/usr/lib/cgi-bin/quillet.cgi      quillet.ini        quillet.log",
    "/usr/lib/cgi-bin/quillet          quillet.ini        quillet.log",
    "C:\\inetpub\\cgi-bin\\quillet.exe    quillet.ini        quillet.log",
    "/usr/lib/cgi-bin/contact.cgi      contact.ini        contact.log",
    "[/pre]",
    "So several forms can have their own settings: one copy of the program per form, under "
    "its own name (contact.cgi, order.cgi). Case counts: QUILLET.EXE gets QUILLET.EXE.ini.",
    "Each run logs them as \"Ini file == ...\" and \"Log file == ...\". From a console, "
    "\"./quillet.cgi help\" (any word but a command) prints help on the ini file and offers "
    "to write a demonstration one if none exists.",
    "[q]",
    "What does a small working ini file look like?",
    "[a]",
    "Each line is a keyword, one space and a value that runs to the end of the line, spaces "
    "included. Keywords are written exactly as shown; a line that matches none is ignored "
    "and may serve as a comment.",
    "This file sends the fields Name, Email and Message of a contact form to the site's "
    "owner, through a mail server on the same machine:",
    "[pre]",
    "smtp 127.0.0.1",
    "logging errors",
    "success_html_page /var/www/html/thanks.html",
    "failure_html_page /var/www/html/sorry.html",
    "headerline To: Site Owner &lt;owner@example.org&gt;",
    "headerline From: Contact Form &lt;webform@example.org&gt;",
    "headerline Subject: Message from the contact form",
    "bodycontent_line A visitor sent this message:",
    "use_submitted_variable_for_bodycontent Name",
    "use_submitted_variable_for_bodycontent Email",
    "use_submitted_variable_for_bodycontent Message",
    "[/pre]",
    "\"smtp\" names the mail server: a host name or an IPv4 address, with a colon and a "
    "port when it is not 25 (smtp mail.example.org:2525). A \"headerline\" line goes into "
    "the header as it stands.",
    "A \"use_submitted_variable_for_bodycontent\" line writes the field's name and the "
    "value sent for the field of exactly that name; \"bodycontent_line\" writes its text. A "
    "setting given twice takes the later value.",
    "[q]",
    "How must the HTML form send its data?",
    "[a]",
    "With the POST method and the default encoding, application/x-www-form-urlencoded. "
    "quillet reads only the request's body: the fields of a GET request never reach it, and "
    "multipart/form-data is not understood.",
    "[pre]",
    "&lt;form method=\"post\" action=\"/cgi-bin/quillet.cgi\"&gt;",
    "  Name: &lt;input type=\"text\" name=\"Name\"&gt;",
    "  E-mail: &lt;input type=\"text\" name=\"Email\"&gt;",
    "  Message: &lt;textarea name=\"Message\"&gt;&lt;/textarea&gt;",
    "  &lt;input type=\"submit\" value=\"Send\"&gt;",
    "&lt;/form&gt;",
    "[/pre]",
    "",
    "Field names are matched exactly, case and any colon included: a field named Email is "
    "neither \"Email:\" nor \"email\" in the ini file or in a reply page.",
    "Several fields of the same name are all kept; where the ini file or a reply page asks "
    "for that name, the first one counts.",
    "[q]",
    "The browser shows \"500 Internal Server Error\", and the web server's error log says",
    "\"Premature end of script headers\" or \"End of script output before headers\".",
    "[a]",
    "These come from the web server: it could not start the program, or got no answer from "
    "it. Once quillet runs, it answers with a page even when something fails (its error "
    "page, or your failure page).",
    "Look in quillet's log for a \"starting version\" line at the time of the request. If "
    "there is none, the program did not start (or cannot write its log); check:",
    "- that the web server's account may execute the program (mode 755) and enter every "
    "directory above it (under suEXEC: their owners, and suEXEC's own log);",
    "- that it is a build for this system (from a console, -version prints its version) and "
    "was copied in binary mode, since a transfer in text (ASCII) mode damages programs;",
    "- that the file system lets programs run (no noexec mount option) and that SELinux or "
    "AppArmor lets the web server run it.",
    "",
    "One case does come from quillet: when the ini file cannot be opened and the log file "
    "cannot be written either, it writes nothing, and the web server reports this error. "
    "Fix the log's permissions first.",
    "The run must also end within the web server's limit for CGI programs, often a minute "
    "(see the question on time-outs); if it gave up first, quillet logs \"the reply could "
    "not be written to the web server\".",
    "[q]",
    "The web server's error log says \"Permission denied\", or the browser shows \"403 "
    "Forbidden\" or \"404 Not Found\".",
    "[a]",
    "These also come from the web server. \"Permission denied\" means its account may not "
    "execute the program or enter one of its directories: give the program mode 755, its "
    "directories mode 755 or 711.",
    "\"403 Forbidden\" usually means the directory is not set up for CGI programs (for "
    "Apache: ScriptAlias, or Options +ExecCGI with a handler for .cgi) or that the "
    "configuration denies access to it.",
    "\"404 Not Found\" means that no program stands at the address the form's action names. "
    "A browser that offers to download the program, or shows its bytes, means the directory "
    "is not one for CGI programs at all.",
    "quillet's own files fail differently: an ini file the account cannot read gives the "
    "page \"error: The ini file could not be opened..\", and a log it cannot write simply "
    "gets no lines.",
    "[q]",
    "How do I see what quillet does with each request?",
    "[a]",
    "Read its log file, beside the program. Each line begins with the date, the time and "
    "the process number, as in \"7th December 2026,  5:03:09 pm - pid(1234) - \"; the "
    "number tells requests running at once apart.",
    "The ini file's \"logging\" line decides what is written: with \"logging debug\" (any "
    "value that begins with \"debug\", in any case) or without the line every step, with "
    "\"logging errors\" only problems.",
    "",
    "It holds personal data (addresses, and even with \"logging errors\" the whole of a "
    "message that lacked its From, To or Subject): keep it out of the document root. "
    "quillet creates it with mode 640.",
    "With \"log_max_size 1024\" (kilobytes) the log is renamed to quillet.log.old before it "
    "would pass that size, if the account may create files in the log's folder. Without the "
    "line it grows without end.",
    "To empty it, run \"sudo -u www-data ./quillet.cgi -blanklog\" in its directory; it "
    "then holds one line, \"This is the log file for quillet\". Started by a web server, "
    "quillet ignores its arguments:",
    "the web server sets GATEWAY_INTERFACE, and the words of a query string such as "
    "?-blanklog, which some web servers pass on as arguments, are never taken for commands.",
    "[q]",
    "What do the lines of the debug log mean, stage by stage?",
    "[a]",
    "A run goes through five stages, and each one begins with a line of its own. A run that "
    "delivered its message logs lines like these (date and process number left out, "
    "shortened):",
    "[pre]",
    "starting version " QUILLET_VERSION,
    "Ini file == /usr/lib/cgi-bin/quillet.ini",
    "getting form info.",
    "loading config file.",
    "add_header_line(To: Site Owner &lt;owner@example.org&gt;,)",
    "line used from ini file {headerline To: Site Owner &lt;owner@example.org&gt;}",
    "add_body_variable(Name,Jo Bloggs}",
    "generating email.",
    "generated headers {To: Site Owner &lt;owner@example.org&gt; ...}",
    "about to send email to smtp server (127.0.0.1) from: (webform@example.org) to: "
    "(owner@example.org)",
    "RECV(3): {220 mail.example.org ESMTP ...}",
    "SEND(3): {EHLO QUILLET ...}",
    "email sent! (1)",
    "sending success reply message.",
    "ended.",
    "[/pre]",
    "After \"getting form info.\" only problems with the request body are logged. After "
    "\"loading config file.\" each ini line that was understood gets a \"line used from ini "
    "file\" line;",
    "header and body lines show as \"add_header_line(...)\" or \"add_body_variable(...}\" "
    "first, with the value sent for that field name after the comma (empty when no field of "
    "exactly that name arrived).",
    "After \"generating email.\" come \"no email address in this line (...)\" for each "
    "From, To, CC or BCC line without an address, and \"generated headers {...}\" with the "
    "header lines of the message.",
    "\"about to send email ...\" names the mail server, the sender and the main recipient. "
    "The SEND and SENT lines show what quillet wrote to the server, the RECV lines each "
    "line of its answers.",
    "\"email sent! (1)\" means the server accepted the message; \"Email not sent.\" means "
    "it did not, and the lines before it say why. Then come \"sending success reply "
    "message.\" (or failure) and \"ended.\".",
    "[q]",
    "The visitor sees \"error: The ini file could not be opened..\" and nothing is sent.",
    "[a]",
    "quillet could not open its ini file for reading, so it stopped before composing any "
    "message. The log gets the same sentence as a line of its own, without date and time.",
    "The \"Ini file == ...\" line logged before it names the file quillet looked for, which "
    "follows the program's name (see the question on file names): a program renamed to "
    "contact.cgi looks for contact.ini.",
    "If the name is right, the web server's account may not read the file or enter its "
    "directory: give the file mode 644. A file edited elsewhere may also have been saved "
    "as, say, quillet.ini.txt.",
    "When the log file cannot be written either, quillet cannot write this page at all, and "
    "the web server reports \"500 Internal Server Error\" instead.",
    "[q]",
    "The log says \"FORM DATA SIZE != CONTENT_LENGTH, got(...), CL(...)\".",
    "[a]",
    "The web server announced a request body of CL bytes (CONTENT_LENGTH) but quillet "
    "received got bytes. It goes on with what it received, so the message may lack the last "
    "fields or end inside a value.",
    "got(99999) means the form sent more than quillet reads (99,999 bytes); limit the "
    "fields, say with maxlength. A smaller got means the body was cut short on its way, a "
    "negative CL a broken request.",
    "A request without any body, such as one sent with the GET method, logs nothing: the "
    "form is simply empty, and the message lacks every submitted value. Make sure the form "
    "says method=\"post\".",
    "[q]",
    "The log says \"email not sent due to From, or To, or Subject headers not being present "
    "or valid.\"",
    "[a]",
    "Before it connects to the mail server, quillet checks that the message has a sender, a "
    "main recipient and a subject, and sends nothing otherwise; the visitor gets the "
    "failure page.",
    "The line shows what it found: From={...} and To={...} hold the addresses, (null) where "
    "none was found, Subject_found=TRUE or FALSE tells whether there is a Subject line; "
    "then come the header and body.",
    "The sender and the main recipient come from the first From line and the first To line "
    "in which an e-mail address is found: in the line's text, or, for "
    "use_submitted_variable_for_headerline, in the value sent.",
    "An address is a local part (letters, digits, dots and ! # $ % & ' * + - / = ? ^ _ ` { "
    "| } ~), an @ and a domain (letters, digits, dots, hyphens, underscores); names, quotes "
    "and brackets around it fall away.",
    "From={(null)} with \"use_submitted_variable_for_headerline From:\" means the visitor "
    "left the field empty or typed no address, or that the form has no field named exactly "
    "\"From:\".",
    "Subject_found=FALSE means no header line begins with \"Subject:\". Names are matched "
    "without regard to case; only From, To, CC, BCC, Reply-To and Subject count: "
    "\"Sender:\" is no From line.",
    "[q]",
    "The log says \"SMTP email server (...) did not respond.\"",
    "[a]",
    "quillet could not open a connection to the mail server named in the brackets (in small "
    "letters, without its port), so nothing was sent and the visitor got the failure page.",
    "\"(null)\" in the brackets means the ini file has no \"smtp\" line; add one, such as "
    "\"smtp 127.0.0.1\" for a mail server on the same machine. A port follows a colon (smtp "
    "mail.example.org:2525); 25 otherwise.",
    "When a line beginning with \"wsock:\" comes just before it, that line gives the reason "
    "(see the next question). When none does, the host name could not be looked up: check "
    "its spelling, or give an IPv4 address.",
    "A host name that begins with a digit, such as 1mail.example.org, is taken for an IPv4 "
    "address and never looked up; name such a server by its address instead.",
    "[q]",
    "The log says \"wsock: (...) Connection Refused\", or another line that begins with "
    "\"wsock:\".",
    "[a]",
    "These lines report a failure of the network connection to the mail server, in the same "
    "words on every system. The text in brackets says where it happened, the words after it "
    "what happened.",
    "In the brackets, the mail server's name means the connection could not be opened, and "
    "\"*** Error *** Can't connect to {...}\" that no connection could even be prepared;",
    "\"Socket Error, could not write.\" and \"TCPwrite failed in sendr(1)\" or \"(2)\" mean "
    "that sending failed, \"TCPdoread failed\" that no answer came or the server closed the "
    "connection. The usual words:",
    "[pre]",
    "Connection Refused    nothing listens on that host and port: the mail server is not "
    "running, the port is wrong, or a firewall rejects the connection",
    "Timedout              no answer within the time limit (smtp_timeout, 30 seconds by "
    "default); see the next question",
    "Network Unreachable   the web server's machine has no route to that network (Host "
    "Unreachable: to that host, which may be down)",
    "The virtual circuit was reset by the remote side.           the server broke the "
    "connection off",
    "The socket has been shutdown; it is not possible to ...     the server had already "
    "closed the connection when quillet wrote to it",
    "Socket Unkown error code N                                  an error without words of "
    "its own; N is its number",
    "[/pre]",
    "A later \"SMTP server did not answer ...\" or \"could not send ... to the SMTP "
    "server\" names the step that failed. Unless the server had the message already, "
    "\"Email not sent.\" and the failure page follow.",
    "[q]",
    "The log says \"wsock: (...) Timedout\", or visitors wait a long time after they send "
    "the form.",
    "[a]",
    "quillet gives the whole conversation with the mail server at most 30 seconds: the "
    "connection, all it sends, every answer. When the time runs out, it logs \"Timedout\", "
    "gives up and shows the failure page.",
    "Change it with \"smtp_timeout N\" (1 to 3600 seconds; any other value is ignored), "
    "well below the web server's own limit for CGI programs, often a minute, so the visitor "
    "gets your failure page, not its error.",
    "A time-out while connecting usually means a wrong address or a firewall; one while "
    "waiting for an answer, a slow server, or one that wants TLS at once, as on port 465 "
    "(\"smtp_tls implicit\").",
    "Once the server has accepted the message, a time-out no longer matters: quillet waits "
    "at most one more second for the answer to its QUIT, and the visitor gets the success "
    "page.",
    "On Windows and Linux (GNU C library) the limit includes looking up the server's name, "
    "logged as a time-out while connecting; elsewhere a slow name service adds to it: give "
    "an IPv4 address.",
    "[q]",
    "The log says \"SMTP server refused ...\", and the visitor got the failure page.",
    "[a]",
    "The mail server answered a command with an error. The line names the command and "
    "quotes the answer, as in \"SMTP server refused RCPT TO:<owner@example.org>: 554 5.7.1 "
    "<owner@example.org>: Relay access denied\".",
    "quillet shows the failure page whenever the server did not accept the message: when it "
    "refused the greeting, the sender (MAIL FROM), every recipient (RCPT TO), DATA or the "
    "message itself.",
    "These lines are written whatever the logging setting says, except for a refused EHLO, "
    "after which quillet tries HELO. When one recipient is refused and another accepted, "
    "the message goes to the accepted one.",
    "",
    "\"Relay access denied\": the server takes no mail from the web server's machine for "
    "that address: let that machine relay (Postfix: mynetworks) or use the recipient's own "
    "server.",
    "\"Sender address rejected\", or a refused MAIL FROM: the server does not accept the "
    "sender's domain (often SPF, or it wants senders of its own domain); use a static From "
    "line with an address of your domain.",
    "\"Authentication required\" or \"Must issue a STARTTLS command first\": the server "
    "wants a login or TLS: add the smtp_tls, smtp_user and smtp_password lines (last "
    "question).",
    "\"User unknown\": the recipient's address is wrong. A refusal of the message itself "
    "usually comes from the server's spam or content filter.",
    "[q]",
    "How do I set success_html_page and failure_html_page?",
    "[a]",
    "Each names a file on the web server's machine that quillet sends to the browser: the "
    "success page once the mail server has accepted the message, the failure page otherwise.",
    "Give the file's path, not its web address: \"success_html_page "
    "/var/www/html/thanks.html\" (C:\\inetpub\\wwwroot\\thanks.html on Windows). A relative "
    "path starts in the directory the web server runs quillet in.",
    "A value that begins with \"http\" is taken as a file name too, cannot be opened, and "
    "gets the built-in page with the sentence \"The setting is not a web address setting, "
    "it is a local file name setting.\"",
    "To send the browser to a page of your site instead, use \"success_redirect "
    "https://www.example.com/thanks.html\" (and failure_redirect): quillet answers \"303 See "
    "Other\", and a reload sends nothing twice.",
    "Both must be readable by the web server's account; they may be the same file. The "
    "browser loads links, images and style sheets in them relative to the program's web "
    "address: give those in full (/ or http).",
    "Whatever file a setting names is sent whole to every visitor: name only a page, never "
    "the ini file, the log or another private file.",
    "[q]",
    "Instead of my page the visitor sees a plain page saying \"email sent.\" or \"email NOT "
    "sent.\" and one more sentence.",
    "[a]",
    "That is quillet's built-in page, shown when it cannot use your page file. The first "
    "line tells whether the message was sent; the sentence tells why your page was not "
    "used, and the log gets the same sentence.",
    "\"... message file is not set in quillet ini file.\" means the ini file has no "
    "success_html_page (or failure_html_page) line: check the keyword's spelling and that "
    "exactly one space follows it.",
    "\"... message file (name) is not readable for the reason (2)(No such file or "
    "directory).\" means there is no file of that name: check the path, and look for a "
    "stray space after the name.",
    "\"(13)(Permission denied)\": the account may not read the file or enter its directory; "
    "\"(21)(Is a directory)\": the setting names a directory. The texts come from the C "
    "library and read differently on Windows.",
    "[q]",
    "How do I show what the visitor typed on the reply page?",
    "[a]",
    "Write a field's name between two pairs of vertical bars in the page file; quillet puts "
    "the value sent in its place. The name is matched exactly, case and any colon included; "
    "unknown ones give nothing.",
    "[pre]",
    "&lt;p&gt;Thank you, ||Name||. We will answer you at ||Email||.&lt;/p&gt;",
    "[/pre]",
    "The value is HTML-escaped (& < > \" ' become &amp; &lt; &gt; &quot; &#39;), which "
    "makes a token safe in element text and in quoted attribute values. Any field can be "
    "used, also one the message leaves out.",
    "Never put a token in a URL attribute (href, src, action: a visitor can submit "
    "javascript:...), an unquoted attribute, an event handler or a style. Inside a script "
    "element nothing is replaced.",
    "A name holds letters, digits, _ - . : [ ] and non-ASCII characters; other bars, and "
    "bars in a value, are text. Bars and a name up to the line's end show as \"token not "
    "terminated {\", the line's rest and \"}\".",
    "[q]",
    "What is the small line at the foot of my reply pages, and how do I remove it?",
    "[a]",
    "quillet puts one short line, saying that quillet handled the form and linking to its "
    "home page, in front of the closing html tag of your page. The ini line "
    "\"add_orlund_link false\" leaves it out.",
    "That line must read exactly so, in small letters and with nothing after \"false\": "
    "\"add_orlund_link False\", \"add_orlund_link no\" or a space at the end leave the link "
    "on.",
    "It goes in front of the first \"</html>\" of each line that holds one, or else the "
    "first \"</HTML>\". Other spellings (\"</Html>\") are not found: such a page, or one "
    "without the tag, gets no link.",
    "[q]",
    "How do I send the message to more than one recipient?",
    "[a]",
    "Use a To line, and a CC line and a BCC line where you need them. Each of them takes "
    "one address, the first one found in the line.",
    "[pre]",
    "headerline To: orders@example.org",
    "headerline CC: manager@example.org",
    "headerline BCC: archive@example.org",
    "[/pre]",
    "The message goes to these three addresses at most, in the order To, BCC, CC. Further "
    "addresses in a line are no recipients, though the line shows them; a second To, CC or "
    "BCC line is left out altogether.",
    "The BCC line is written into the message's header like the others, so the recipients "
    "may see it. To reach more people, send to one address that your mail server expands, "
    "such as an alias or a mailing list.",
    "",
    "A To, CC or BCC taken from the form lets anyone send mail anywhere through your site. "
    "Lines \"allowed_recipient sales@example.org\" or \"allowed_recipient @example.org\" "
    "say where it may point;",
    "any other address from the form is refused: nothing is sent, and the log names it "
    "(\"the CC recipient {...} came from the form and no allowed_recipient line allows "
    "it\"). Static lines are never refused.",
    "[q]",
    "How do I take the From address from a field of the form?",
    "[a]",
    "Name the field \"From:\", with the colon, and write a submitted-variable header line "
    "for it instead of a static From line:",
    "[pre]",
    "&lt;input type=\"text\" name=\"From:\"&gt;",
    "use_submitted_variable_for_headerline From:",
    "[/pre]",
    "The header line is then \"From: \" and the visitor's text, and the first e-mail "
    "address in that text is the sender for the mail server too, so that replies and "
    "bounces go to the visitor.",
    "If the visitor leaves the field empty or types no address, nothing is sent; see the "
    "question on \"email not sent due to From, or To, or Subject headers\".",
    "",
    "Mail \"from\" a visitor's domain fails its SPF and DMARC checks, and is often refused "
    "or filed as spam: keep From static, at your own domain, and use "
    "use_submitted_variable_for_headerline Reply-To:.",
    "Line breaks typed into the field cannot start header lines of their own; see the "
    "question on line breaks.",
    "[q]",
    "How do I send only some of the form's fields?",
    "[a]",
    "Leave \"sendall true\" out, or write \"sendall false\", and list each field you want "
    "with a line of its own, in the order you want them:",
    "[pre]",
    "sendall false",
    "bodycontent_line Order details:",
    "use_submitted_variable_for_bodycontent Name",
    "use_submitted_variable_for_bodycontent Product",
    "use_submitted_variable_for_bodycontent Quantity",
    "[/pre]",
    "Each gives a body line of a space, the field's name, a space and the value "
    "(\"no_padding\" drops the first space). Further lines of a value are indented, and a "
    "field that was not sent gives an empty value.",
    "With \"sendall true\" (exactly so) the body ends with \"All variables from the "
    "submitted form:\" and every field sent, as (name)==(value), in the form's order; "
    "\"remove_empty_variables\" leaves out the empty ones.",
    "[q]",
    "How many fields and how much data can a form send?",
    "[a]",
    "quillet keeps the first 1000 fields of a form; further ones are ignored without a log "
    "line. It reads at most 99,999 bytes of body, as the browser encodes it (a letter "
    "outside ASCII takes six, as %C3%A9);",
    "the rest is ignored, and the log gets \"FORM DATA SIZE != CONTENT_LENGTH, got(99999), "
    "CL(...)\".",
    "The ini file may hold 1000 header lines and 1000 body lines; a further one is dropped "
    "with the log line \"too many header lines in ini file, line dropped {...}\" (or \"too "
    "many body lines ...\").",
    "A line of the message longer than 998 characters (RFC 5322 allows no more), such as a "
    "long paragraph typed into a textarea, is broken up, each further piece on a line that "
    "begins with a space.",
    "[q]",
    "What do \"hello_method HELO\" and \"email_CR\" do?",
    "[a]",
    "quillet greets with \"EHLO QUILLET\" and pipelines sender, recipients and DATA when the "
    "server offers PIPELINING (RFC 2920); \"hello_method HELO\" greets with \"HELO QUILLET\" "
    "and sends one command at a time.",
    "\"email_CR=LFCR\" composes the message with CR LF line ends (the default and "
    "\"email_CR=CR\": LF alone); that shows only in the log, as every line reaches the server "
    "ending in CR LF (RFC 5321).",
    "[q]",
    "What happens to line breaks that a visitor types into a field used in a header line?",
    "[a]",
    "A submitted value may hold line breaks, as when a textarea feeds the Subject. In a "
    "header line quillet puts a space after every line break, so the text after it "
    "continues the same header (RFC 5322 folding).",
    "So whatever a visitor types, it cannot add header lines of its own, such as a Bcc "
    "line, nor end the header early.",
    "In the body, further lines of a value are indented. Carriage returns are removed from "
    "submitted values. A line that begins with a dot is sent with the dot doubled (RFC "
    "5321) and arrives unchanged.",
    "[q]",
    "Which header lines does the message carry, and can I add others, such as Reply-To?",
    "[a]",
    "The header holds, in ini file order, the first From, To, CC, BCC and Reply-To lines "
    "with an address and every Subject line, then the fixed line \"X-QUILLET: sent by web "
    "form submition activated CGI program.\".",
    "Other header lines of the ini file, such as Status or Content-Type, are left out. A "
    "Reply-To from the form carries its first address alone and is never a recipient.",
    "\"add_date_and_message_id\" adds Date and Message-ID lines. \"charset UTF-8\" (the "
    "form page's charset) adds MIME lines and writes non-ASCII header text as RFC 2047 "
    "words; without it mail programs guess.",
    "A static header line is written with one space after its text (\"Subject: Order \"). "
    "With \"add_headerline_colon\" in the ini file, header names may be written without "
    "their colon, and quillet adds it.",
    "[q]",
    "How do I keep spam bots out, and answer a form that posts with fetch()?",
    "[a]",
    "\"honeypot_field website\" names a field your form hides from people "
    "(style=\"display:none\"): when it holds anything, nothing is sent, the bot gets the "
    "success reply, and the log one line naming the field.",
    "\"required_field Name\" (up to 100 lines): a missing or blank field sends nothing and "
    "gets the failure reply; ||quillet_missing_fields|| on the page lists the missing names.",
    "\"allowed_origin https://www.example.com\" (any number of lines): the page that posts "
    "must be at one of them, by the browser's Origin or, without one, its Referer; any other "
    "gets the failure reply.",
    "\"rate_limit 5 3600\": at most 5 messages from one client address (an IPv6 address by "
    "its /64) in any 3600 seconds, counted in quillet.rate beside the log; more get the "
    "failure reply.",
    "A script whose fetch() asks for \"Accept: application/json\" gets {\"sent\":true}, or "
    "{\"sent\":false,\"reason\":...} with 422, 403, 429 or 502, and for a listed origin the "
    "CORS line that lets it read it.",
    "[q]",
    "Can quillet log in to the mail server or use an encrypted connection?",
    "[a]",
    "Yes. \"smtp_tls starttls\" (port 587) or \"smtp_tls implicit\" (port 465) encrypts; "
    "\"smtp_user NAME\" and \"smtp_password TEXT\" log in (AUTH PLAIN or LOGIN).",
    "The certificate must be valid, from a trusted CA (\"smtp_tls_ca_file PATH\" for a "
    "private one), for the smtp line's host. A login goes in clear text only to 127.0.0.0/8.",
    "Each failure logs its cause: \"SMTP server refused STARTTLS: ...\", \"TLS with the "
    "SMTP server ... failed: ...\", \"SMTP server refused AUTH PLAIN: ...\"; never the "
    "password.",
    "The ini file then holds a password: mode 0640, owned by root and the web server's "
    "group, outside the web tree where the web server allows it.",
    "",
    "",
};
const int FAQ_LINE_COUNT = sizeof FAQ_LINES / sizeof FAQ_LINES[0];
