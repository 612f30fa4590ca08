#include "sim/ui/resources.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>

#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/hw/bus.h"

namespace sim::ui {
namespace {

// ---------------------------------------------------------------------------------------------
// Symbols every resource script knows without a header (the module's <windows.h> and
// <commctrl.h>)
// ---------------------------------------------------------------------------------------------
const std::map<std::string, std::int64_t>& StandardSymbols() {
  static const std::map<std::string, std::int64_t> symbols = {
      {"WS_OVERLAPPED", WS_OVERLAPPED},
      {"WS_POPUP", WS_POPUP},
      {"WS_CHILD", WS_CHILD},
      {"WS_VISIBLE", WS_VISIBLE},
      {"WS_DISABLED", WS_DISABLED},
      {"WS_CLIPSIBLINGS", WS_CLIPSIBLINGS},
      {"WS_CLIPCHILDREN", WS_CLIPCHILDREN},
      {"WS_CAPTION", WS_CAPTION},
      {"WS_BORDER", WS_BORDER},
      {"WS_DLGFRAME", WS_DLGFRAME},
      {"WS_VSCROLL", WS_VSCROLL},
      {"WS_HSCROLL", WS_HSCROLL},
      {"WS_SYSMENU", WS_SYSMENU},
      {"WS_THICKFRAME", WS_THICKFRAME},
      {"WS_GROUP", WS_GROUP},
      {"WS_TABSTOP", WS_TABSTOP},
      {"WS_EX_DLGMODALFRAME", WS_EX_DLGMODALFRAME},
      {"WS_EX_TOPMOST", WS_EX_TOPMOST},
      {"WS_EX_WINDOWEDGE", WS_EX_WINDOWEDGE},
      {"WS_EX_CLIENTEDGE", WS_EX_CLIENTEDGE},
      {"WS_EX_CONTROLPARENT", WS_EX_CONTROLPARENT},
      {"WS_EX_STATICEDGE", WS_EX_STATICEDGE},
      {"WS_EX_NODRAG", WS_EX_NODRAG},
      {"WS_EX_CAPTIONOKBTN", WS_EX_CAPTIONOKBTN},
      {"DS_ABSALIGN", DS_ABSALIGN},
      {"DS_SYSMODAL", DS_SYSMODAL},
      {"DS_3DLOOK", DS_3DLOOK},
      {"DS_SETFONT", DS_SETFONT},
      {"DS_MODALFRAME", DS_MODALFRAME},
      {"DS_SETFOREGROUND", DS_SETFOREGROUND},
      {"DS_CENTER", DS_CENTER},
      {"SS_LEFT", SS_LEFT},
      {"SS_CENTER", SS_CENTER},
      {"SS_RIGHT", SS_RIGHT},
      {"SS_LEFTNOWORDWRAP", SS_LEFTNOWORDWRAP},
      {"SS_NOPREFIX", SS_NOPREFIX},
      {"SS_NOTIFY", SS_NOTIFY},
      {"BS_PUSHBUTTON", BS_PUSHBUTTON},
      {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
      {"BS_GROUPBOX", BS_GROUPBOX},
      {"LBS_NOTIFY", LBS_NOTIFY},
      {"LBS_SORT", LBS_SORT},
      {"LBS_MULTIPLESEL", LBS_MULTIPLESEL},
      {"LBS_HASSTRINGS", LBS_HASSTRINGS},
      {"LBS_NOINTEGRALHEIGHT", LBS_NOINTEGRALHEIGHT},
      {"LBS_EXTENDEDSEL", LBS_EXTENDEDSEL},
      {"LBS_DISABLENOSCROLL", LBS_DISABLENOSCROLL},
      {"PBS_SMOOTH", PBS_SMOOTH},
      {"PBS_VERTICAL", PBS_VERTICAL},
      {"IDOK", IDOK},
      {"IDCANCEL", IDCANCEL},
      {"IDABORT", IDABORT},
      {"IDRETRY", IDRETRY},
      {"IDIGNORE", IDIGNORE},
      {"IDYES", IDYES},
      {"IDNO", IDNO},
  };
  return symbols;
}

// Statements that may stand between a resource's type and its data and change nothing here.
bool IsMemoryOption(const std::string& word) {
  return word == "DISCARDABLE" || word == "MOVEABLE" || word == "FIXED" || word == "PURE" ||
         word == "IMPURE" || word == "PRELOAD" || word == "LOADONCALL";
}

// ---------------------------------------------------------------------------------------------
// Tokens
// ---------------------------------------------------------------------------------------------
enum class TokenKind { kIdentifier, kNumber, kString, kPunctuation, kEnd };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;         // identifier, punctuation, or the string's UTF-8 contents
  std::int64_t number = 0;  // kNumber
  std::string file;
  int line = 0;
};

class Failure {
 public:
  void Set(const std::string& file, int line, const std::string& message) {
    if (message_.empty()) {
      message_ = file + ":" + std::to_string(line) + ": " + message;
    }
  }
  [[nodiscard]] bool Failed() const { return !message_.empty(); }
  [[nodiscard]] const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// Splits one file into tokens; preprocessor lines are handed to directive().
class Lexer {
 public:
  Lexer(std::string file, const std::string& text, Failure* failure)
      : file_(std::move(file)), text_(text), failure_(failure) {}

  // Tokens of the whole file. Each directive line is passed (without '#') to the callback.
  std::vector<Token> Run(const std::function<void(const std::string&, int)>& directive) {
    std::vector<Token> tokens;
    bool lineStart = true;
    while (position_ < text_.size() && !failure_->Failed()) {
      const char c = text_[position_];
      if (c == '\n') {
        ++line_;
        ++position_;
        lineStart = true;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f') {
        ++position_;
        continue;
      }
      if (c == '/' && Peek(1) == '/') {
        SkipToLineEnd();
        continue;
      }
      if (c == '/' && Peek(1) == '*') {
        SkipBlockComment();
        continue;
      }
      if (c == '#' && lineStart) {
        const int line = line_;
        ++position_;
        const std::size_t end = text_.find('\n', position_);
        std::string body =
            text_.substr(position_, end == std::string::npos ? std::string::npos : end - position_);
        position_ = end == std::string::npos ? text_.size() : end;
        directive(StripComment(body), line);
        continue;
      }
      lineStart = false;
      Token token;
      token.file = file_;
      token.line = line_;
      if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        token.kind = TokenKind::kIdentifier;
        while (position_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[position_])) ||
                text_[position_] == '_')) {
          token.text += text_[position_++];
        }
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        token.kind = TokenKind::kNumber;
        if (!ReadNumber(&token.number)) {
          failure_->Set(file_, line_, "malformed number");
        }
      } else if (c == '"') {
        token.kind = TokenKind::kString;
        ReadString(&token.text);
      } else if (std::string_view(",|(){}-+~").find(c) != std::string_view::npos) {
        token.kind = TokenKind::kPunctuation;
        token.text = std::string(1, c);
        ++position_;
      } else {
        failure_->Set(file_, line_, std::string("unexpected character '") + c + "'");
        break;
      }
      tokens.push_back(std::move(token));
    }
    return tokens;
  }

 private:
  char Peek(std::size_t ahead) const {
    return position_ + ahead < text_.size() ? text_[position_ + ahead] : '\0';
  }
  void SkipToLineEnd() {
    while (position_ < text_.size() && text_[position_] != '\n') {
      ++position_;
    }
  }
  void SkipBlockComment() {
    const std::size_t end = text_.find("*/", position_ + 2);
    if (end == std::string::npos) {
      failure_->Set(file_, line_, "comment is not closed");
      position_ = text_.size();
      return;
    }
    line_ += static_cast<int>(std::count(text_.begin() + static_cast<std::ptrdiff_t>(position_),
                                         text_.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
    position_ = end + 2;
  }
  static std::string StripComment(const std::string& body) {
    const std::size_t comment = body.find("//");
    return comment == std::string::npos ? body : body.substr(0, comment);
  }
  bool ReadNumber(std::int64_t* value) {
    std::uint64_t result = 0;
    int base = 10;
    if (text_[position_] == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) {
      base = 16;
      position_ += 2;
    }
    bool any = false;
    while (position_ < text_.size()) {
      const int digit = HexDigitValue(text_[position_]);
      if (digit < 0 || digit >= base) {
        break;
      }
      result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      if (result > 0xFFFFFFFFull) {
        return false;
      }
      any = true;
      ++position_;
    }
    // Size suffixes (1L, 2u) change nothing for 32-bit values.
    while (position_ < text_.size() && (text_[position_] == 'L' || text_[position_] == 'l' ||
                                        text_[position_] == 'U' || text_[position_] == 'u')) {
      ++position_;
    }
    if (position_ < text_.size() &&
        (std::isalnum(static_cast<unsigned char>(text_[position_])) || text_[position_] == '_')) {
      return false;
    }
    *value = static_cast<std::int64_t>(result);
    return any;
  }
  void ReadString(std::string* out) {
    ++position_;  // opening quote
    while (true) {
      if (position_ >= text_.size() || text_[position_] == '\n') {
        failure_->Set(file_, line_, "string is not closed");
        return;
      }
      const char c = text_[position_++];
      if (c == '"') {
        if (position_ < text_.size() && text_[position_] == '"') {  // "" stands for a quote
          out->push_back('"');
          ++position_;
          continue;
        }
        return;
      }
      if (c == '\\' && position_ < text_.size()) {
        const char escaped = text_[position_++];
        switch (escaped) {
          case 'n':
            out->push_back('\n');
            break;
          case 'r':
            out->push_back('\r');
            break;
          case 't':
            out->push_back('\t');
            break;
          case '\\':
            out->push_back('\\');
            break;
          case '"':
            out->push_back('"');
            break;
          default:
            failure_->Set(file_, line_, std::string("unknown escape \\") + escaped);
            return;
        }
        continue;
      }
      out->push_back(c);
    }
  }

  std::string file_;
  const std::string& text_;
  Failure* failure_;
  std::size_t position_ = 0;
  int line_ = 1;
};

// ---------------------------------------------------------------------------------------------
// The script reader
// ---------------------------------------------------------------------------------------------
struct Define {
  std::vector<Token> tokens;
};

class Reader {
 public:
  Reader(const ResourceFileSource& files, ResourceScript* script)
      : files_(files), script_(script) {}

  bool Read(const std::string& fileName, const std::string& text, std::string* error) {
    fileName_ = fileName;
    tokens_ = Tokenize(fileName, text, /*headerOnly=*/false, 0);
    while (!failure_.Failed() && !AtEnd()) {
      Statement();
    }
    if (!failure_.Failed()) {
      Check();
    }
    if (failure_.Failed()) {
      *error = failure_.Message();
      return false;
    }
    return true;
  }

 private:
  // --- preprocessing ---
  std::vector<Token> Tokenize(const std::string& fileName, const std::string& text, bool headerOnly,
                              int depth) {
    Lexer lexer(fileName, text, &failure_);
    std::vector<Token> tokens = lexer.Run(
        [&](const std::string& body, int line) { Directive(fileName, body, line, depth); });
    if (headerOnly) {
      // A header contributes its definitions only, as the resource compiler reads it.
      return {};
    }
    return tokens;
  }

  void Directive(const std::string& file, const std::string& body, int line, int depth) {
    if (failure_.Failed()) {
      return;
    }
    std::size_t start = body.find_first_not_of(" \t");
    if (start == std::string::npos) {
      return;
    }
    std::size_t stop = start;
    while (stop < body.size() && std::isalpha(static_cast<unsigned char>(body[stop]))) {
      ++stop;
    }
    const std::string name = body.substr(start, stop - start);
    if (name == "pragma") {
      return;
    }
    if (name == "include") {
      Include(file, body.substr(stop), line, depth);
      return;
    }
    Failure local;
    Lexer lexer(file, body, &local);
    std::vector<Token> words = lexer.Run([](const std::string&, int) {});
    if (local.Failed()) {
      failure_.Set(file, line, "malformed directive #" + name);
      return;
    }
    if (name == "define") {
      if (words.size() < 2 || words[1].kind != TokenKind::kIdentifier) {
        failure_.Set(file, line, "#define needs a name");
        return;
      }
      Define define;
      for (std::size_t i = 2; i < words.size(); ++i) {
        words[i].line = line;
        define.tokens.push_back(words[i]);
      }
      defines_[words[1].text] = std::move(define);
      return;
    }
    if (name == "undef" && words.size() == 2) {
      defines_.erase(words[1].text);
      return;
    }
    failure_.Set(file, line, "unsupported directive #" + name);
  }

  void Include(const std::string& file, const std::string& body, int line, int depth) {
    const std::size_t open = body.find_first_of("\"<");
    if (open == std::string::npos) {
      failure_.Set(file, line, "#include needs a file name");
      return;
    }
    const char close = body[open] == '"' ? '"' : '>';
    const std::size_t end = body.find(close, open + 1);
    if (end == std::string::npos) {
      failure_.Set(file, line, "#include file name is not closed");
      return;
    }
    const std::string included = body.substr(open + 1, end - open - 1);
    if (close == '>') {
      // The system headers: their symbols are known already.
      return;
    }
    if (depth > 8) {
      failure_.Set(file, line, "#include nested too deeply");
      return;
    }
    std::string contents;
    if (!files_(included, &contents)) {
      failure_.Set(file, line, "cannot open include file \"" + included + "\"");
      return;
    }
    Tokenize(included, contents, /*headerOnly=*/true, depth + 1);
  }

  // --- token access ---
  bool AtEnd() const { return next_ >= tokens_.size(); }
  const Token& Current() const {
    static const Token end;
    return AtEnd() ? (tokens_.empty() ? end : tokens_.back()) : tokens_[next_];
  }
  void Fail(const std::string& message) {
    const Token& at = Current();
    failure_.Set(at.file.empty() ? std::string("resource script") : at.file, at.line, message);
  }
  bool IsWord(const char* word) const {
    return !AtEnd() && tokens_[next_].kind == TokenKind::kIdentifier && tokens_[next_].text == word;
  }
  bool IsPunctuation(char c) const {
    return !AtEnd() && tokens_[next_].kind == TokenKind::kPunctuation &&
           tokens_[next_].text[0] == c;
  }
  bool Expect(char c) {
    if (!IsPunctuation(c)) {
      Fail(std::string("expected '") + c + "'");
      return false;
    }
    ++next_;
    return true;
  }
  bool String(std::u16string* out) {
    if (AtEnd() || tokens_[next_].kind != TokenKind::kString) {
      Fail("expected a string");
      return false;
    }
    *out = FromUtf8(tokens_[next_].text);
    ++next_;
    return true;
  }

  // --- expressions ---
  // Evaluates a term at tokens[*index] (a number, a symbol, a parenthesised or negated term).
  bool Term(const std::vector<Token>& tokens, std::size_t* index, std::int64_t* value, int depth) {
    if (*index >= tokens.size()) {
      Fail("expected a value");
      return false;
    }
    if (++nesting_ > kMaximumNesting) {
      Fail("expression nested too deeply");
      return false;
    }
    struct Leave {
      int& nesting;
      ~Leave() { --nesting; }
    } leave{nesting_};
    const Token& token = tokens[*index];
    if (token.kind == TokenKind::kNumber) {
      *value = token.number;
      ++*index;
      return true;
    }
    if (token.kind == TokenKind::kPunctuation && (token.text == "-" || token.text == "~")) {
      ++*index;
      std::int64_t inner = 0;
      if (!Term(tokens, index, &inner, depth)) {
        return false;
      }
      *value = token.text == "-" ? -inner : static_cast<std::int64_t>(~static_cast<DWORD>(inner));
      return true;
    }
    if (token.kind == TokenKind::kPunctuation && token.text == "(") {
      ++*index;
      if (!Expression(tokens, index, value, depth)) {
        return false;
      }
      if (*index >= tokens.size() || tokens[*index].text != ")") {
        Fail("expected ')'");
        return false;
      }
      ++*index;
      return true;
    }
    if (token.kind == TokenKind::kIdentifier) {
      ++*index;
      return Symbol(token.text, value, depth);
    }
    Fail("expected a value, not '" + token.text + "'");
    return false;
  }

  bool Expression(const std::vector<Token>& tokens, std::size_t* index, std::int64_t* value,
                  int depth) {
    if (!Term(tokens, index, value, depth)) {
      return false;
    }
    while (
        *index < tokens.size() && tokens[*index].kind == TokenKind::kPunctuation &&
        (tokens[*index].text == "|" || tokens[*index].text == "+" || tokens[*index].text == "-")) {
      const std::string op = tokens[*index].text;
      ++*index;
      std::int64_t right = 0;
      if (!Term(tokens, index, &right, depth)) {
        return false;
      }
      if (op == "|") {
        *value = static_cast<std::int64_t>(static_cast<DWORD>(*value) | static_cast<DWORD>(right));
      } else if (op == "+") {
        *value += right;
      } else {
        *value -= right;
      }
    }
    return true;
  }

  bool Symbol(const std::string& name, std::int64_t* value, int depth) {
    if (auto it = defines_.find(name); it != defines_.end()) {
      if (depth > 16) {
        Fail("definition of " + name + " refers to itself");
        return false;
      }
      std::size_t index = 0;
      if (!Expression(it->second.tokens, &index, value, depth + 1)) {
        return false;
      }
      if (index != it->second.tokens.size()) {
        Fail("definition of " + name + " is not a number");
        return false;
      }
      return true;
    }
    if (auto it = StandardSymbols().find(name); it != StandardSymbols().end()) {
      *value = it->second;
      return true;
    }
    Fail("undefined symbol " + name);
    return false;
  }

  // A value in the statement being read (ends before ',' or a statement keyword).
  bool Value(std::int64_t* value) { return Expression(tokens_, &next_, value, 0); }

  // A style list: items joined by '|', each "NOT symbol" (clears) or a value (sets).
  bool Style(DWORD* style) {
    while (true) {
      bool clear = false;
      if (IsWord("NOT")) {
        clear = true;
        ++next_;
      }
      std::int64_t item = 0;
      if (!Term(tokens_, &next_, &item, 0)) {
        return false;
      }
      if (clear) {
        *style &= ~static_cast<DWORD>(item);
      } else {
        *style |= static_cast<DWORD>(item);
      }
      if (!IsPunctuation('|')) {
        return true;
      }
      ++next_;
    }
  }

  bool Number(int* value, const char* what) {
    std::int64_t v = 0;
    if (!Value(&v)) {
      return false;
    }
    if (v < -32768 || v > 65535) {
      Fail(std::string(what) + " out of range");
      return false;
    }
    *value = static_cast<int>(v);
    return true;
  }

  // --- statements ---
  void Statement() {
    const Token& head = Current();
    std::int64_t id = 0;
    if (head.kind == TokenKind::kNumber) {
      id = head.number;
      ++next_;
    } else if (head.kind == TokenKind::kIdentifier) {
      if (defines_.count(head.text) == 0) {
        Fail("resource name " + head.text + " is not a defined number");
        return;
      }
      if (!Symbol(head.text, &id, 0)) {
        return;
      }
      ++next_;
    } else {
      Fail("expected a resource");
      return;
    }
    if (id < 1 || id > 0xFFFF) {
      Fail("resource number out of range");
      return;
    }
    if (IsWord("ICON")) {
      ++next_;
      Icon(static_cast<int>(id));
    } else if (IsWord("DIALOG")) {
      ++next_;
      Dialog(static_cast<int>(id));
    } else {
      Fail("unsupported resource type '" + Current().text + "'");
    }
  }

  void Icon(int id) {
    IconResource icon;
    icon.id = id;
    while (!AtEnd() && Current().kind == TokenKind::kIdentifier && IsMemoryOption(Current().text)) {
      ++next_;
    }
    std::u16string name;
    if (!String(&name)) {
      return;
    }
    icon.fileName = ToUtf8(name);
    std::string contents;
    if (!files_(icon.fileName, &contents)) {
      Fail("cannot open icon file \"" + icon.fileName + "\"");
      return;
    }
    icon.image.assign(contents.begin(), contents.end());
    if (!IsIconImage(icon.image)) {
      Fail("\"" + icon.fileName + "\" is not an icon file");
      return;
    }
    if (script_->FindIcon(id) != nullptr) {
      Fail("icon " + std::to_string(id) + " is defined twice");
      return;
    }
    script_->icons.push_back(std::move(icon));
  }

  void Dialog(int id) {
    DialogTemplate dialog;
    dialog.id = id;
    // Without STYLE the resource compiler gives a dialog these styles.
    dialog.style = WS_POPUP | WS_BORDER | WS_SYSMENU;
    while (!AtEnd() && Current().kind == TokenKind::kIdentifier && IsMemoryOption(Current().text)) {
      ++next_;
    }
    if (!Number(&dialog.x, "x") || !Expect(',') || !Number(&dialog.y, "y") || !Expect(',') ||
        !Number(&dialog.width, "width") || !Expect(',') || !Number(&dialog.height, "height")) {
      return;
    }
    while (!failure_.Failed()) {
      if (IsWord("STYLE")) {
        ++next_;
        dialog.style = 0;
        Style(&dialog.style);
      } else if (IsWord("EXSTYLE")) {
        ++next_;
        dialog.exStyle = 0;
        Style(&dialog.exStyle);
      } else if (IsWord("CAPTION")) {
        ++next_;
        String(&dialog.caption);
      } else if (IsWord("FONT")) {
        ++next_;
        if (Number(&dialog.fontSize, "font size") && Expect(',')) {
          String(&dialog.fontName);
        }
        dialog.style |= DS_SETFONT;
      } else if (IsWord("BEGIN") || IsPunctuation('{')) {
        ++next_;
        break;
      } else {
        Fail("unsupported dialog statement '" + Current().text + "'");
        return;
      }
    }
    while (!failure_.Failed()) {
      if (AtEnd()) {
        Fail("dialog has no END");
        return;
      }
      if (IsWord("END") || IsPunctuation('}')) {
        ++next_;
        break;
      }
      ControlTemplate control;
      if (Control(&control)) {
        dialog.controls.push_back(std::move(control));
      }
    }
    if (failure_.Failed()) {
      return;
    }
    if (dialog.width <= 0 || dialog.height <= 0) {
      Fail("dialog " + std::to_string(id) + " has no size");
      return;
    }
    if (script_->FindDialog(id) != nullptr) {
      Fail("dialog " + std::to_string(id) + " is defined twice");
      return;
    }
    script_->dialogs.push_back(std::move(dialog));
  }

  struct ControlKind {
    const char* keyword;
    ControlClass controlClass;
    DWORD defaultStyle;
    bool hasText;
  };

  bool Control(ControlTemplate* control) {
    static constexpr ControlKind kinds[] = {
        {"LTEXT", ControlClass::kStatic, SS_LEFT | WS_GROUP, true},
        {"RTEXT", ControlClass::kStatic, SS_RIGHT | WS_GROUP, true},
        {"CTEXT", ControlClass::kStatic, SS_CENTER | WS_GROUP, true},
        {"PUSHBUTTON", ControlClass::kButton, BS_PUSHBUTTON | WS_TABSTOP, true},
        {"DEFPUSHBUTTON", ControlClass::kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, true},
        {"GROUPBOX", ControlClass::kButton, BS_GROUPBOX, true},
        {"LISTBOX", ControlClass::kListBox, LBS_NOTIFY | WS_BORDER, false},
    };
    control->line = Current().line;
    if (Current().kind != TokenKind::kIdentifier) {
      Fail("expected a control statement");
      return false;
    }
    const std::string keyword = Current().text;
    ++next_;
    control->style = WS_CHILD | WS_VISIBLE;
    if (keyword == "CONTROL") {
      std::u16string className;
      if (!String(&control->text) || !Expect(',') || !Number(&control->id, "control id") ||
          !Expect(',') || !String(&className) || !Expect(',')) {
        return false;
      }
      std::string name = ToUtf8(className);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (name == "button") {
        control->controlClass = ControlClass::kButton;
      } else if (name == "static") {
        control->controlClass = ControlClass::kStatic;
      } else if (name == "listbox") {
        control->controlClass = ControlClass::kListBox;
      } else if (name == "msctls_progress32") {
        control->controlClass = ControlClass::kProgressBar;
      } else {
        Fail("unsupported control class \"" + ToUtf8(className) + "\"");
        return false;
      }
      if (!Style(&control->style) || !Expect(',')) {
        return false;
      }
      if (!Position(control)) {
        return false;
      }
      if (IsPunctuation(',')) {
        ++next_;
        Style(&control->exStyle);
      }
    } else {
      const ControlKind* kind = nullptr;
      for (const ControlKind& candidate : kinds) {
        if (keyword == candidate.keyword) {
          kind = &candidate;
        }
      }
      if (kind == nullptr) {
        --next_;
        Fail("unsupported control statement '" + keyword + "'");
        return false;
      }
      control->controlClass = kind->controlClass;
      control->style |= kind->defaultStyle;
      if (kind->hasText && (!String(&control->text) || !Expect(','))) {
        return false;
      }
      if (!Number(&control->id, "control id") || !Expect(',') || !Position(control)) {
        return false;
      }
      if (IsPunctuation(',')) {
        ++next_;
        if (!Style(&control->style)) {
          return false;
        }
        if (IsPunctuation(',')) {
          ++next_;
          Style(&control->exStyle);
        }
      }
    }
    if (control->controlClass == ControlClass::kButton) {
      const DWORD type = control->style & BS_TYPEMASK;
      if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON && type != BS_GROUPBOX) {
        Fail("unsupported button style " + std::to_string(type));
        return false;
      }
    }
    return !failure_.Failed();
  }

  bool Position(ControlTemplate* control) {
    return Number(&control->x, "x") && Expect(',') && Number(&control->y, "y") && Expect(',') &&
           Number(&control->width, "width") && Expect(',') && Number(&control->height, "height");
  }

  // Faults the resource compiler lets through but that would misplace or confuse a control.
  void Check() {
    for (const DialogTemplate& dialog : script_->dialogs) {
      std::set<int> ids;
      for (const ControlTemplate& control : dialog.controls) {
        const std::string where =
            "dialog " + std::to_string(dialog.id) + ", control " + std::to_string(control.id);
        if (control.width <= 0 || control.height <= 0 || control.x < 0 || control.y < 0 ||
            control.x + control.width > dialog.width ||
            control.y + control.height > dialog.height) {
          failure_.Set(fileName_, control.line,
                       where + ": lies outside the dialog's " + std::to_string(dialog.width) +
                           " x " + std::to_string(dialog.height) + " units");
          return;
        }
        if (control.id != -1 && !ids.insert(control.id).second) {
          failure_.Set(fileName_, control.line,
                       where + ": control id " + std::to_string(control.id) + " is used twice");
          return;
        }
      }
    }
  }

  const ResourceFileSource& files_;
  ResourceScript* script_;
  std::string fileName_;
  Failure failure_;
  std::map<std::string, Define> defines_;
  std::vector<Token> tokens_;
  std::size_t next_ = 0;
  // Parentheses and signs nest; a bound keeps a hostile script from exhausting the stack.
  static constexpr int kMaximumNesting = 64;
  int nesting_ = 0;
};

std::uint32_t Little32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

std::uint16_t Little16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

}  // namespace

const DialogTemplate* ResourceScript::FindDialog(int id) const {
  for (const DialogTemplate& dialog : dialogs) {
    if (dialog.id == id) {
      return &dialog;
    }
  }
  return nullptr;
}

const IconResource* ResourceScript::FindIcon(int id) const {
  for (const IconResource& icon : icons) {
    if (icon.id == id) {
      return &icon;
    }
  }
  return nullptr;
}

bool ParseResourceScript(const std::string& fileName, const std::string& text,
                         const ResourceFileSource& files, ResourceScript* script,
                         std::string* error) {
  *script = ResourceScript();
  Reader reader(files, script);
  return reader.Read(fileName, text, error);
}

bool IsIconImage(const std::vector<std::uint8_t>& image) {
  // ICONDIR: reserved 0, type 1 (icon), count; then 16-byte ICONDIRENTRY records whose last two
  // words give each image's size and file offset.
  constexpr std::size_t kHeader = 6;
  constexpr std::size_t kEntry = 16;
  constexpr std::size_t kBitmapInfoHeader = 40;
  if (image.size() < kHeader || Little16(image, 0) != 0 || Little16(image, 2) != 1) {
    return false;
  }
  const std::size_t count = Little16(image, 4);
  if (count == 0 || kHeader + count * kEntry > image.size()) {
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = kHeader + i * kEntry;
    const std::uint64_t size = Little32(image, entry + 8);
    const std::uint64_t offset = Little32(image, entry + 12);
    if (size < kBitmapInfoHeader || offset < kHeader + count * kEntry ||
        offset + size > image.size()) {
      return false;
    }
    const bool bitmap = Little32(image, static_cast<std::size_t>(offset)) == kBitmapInfoHeader;
    const bool png = image[offset] == 0x89 && image[offset + 1] == 'P' &&
                     image[offset + 2] == 'N' && image[offset + 3] == 'G';
    if (!bitmap && !png) {
      return false;
    }
  }
  return true;
}

const ResourceScript& ProgramResources() {
  static ResourceScript script;
  static std::once_flag once;
  std::call_once(once, [] {
    auto find = [](const std::string& name, std::string* contents) {
      for (std::size_t i = 0; i < kEmbeddedResourceFileCount; ++i) {
        std::string candidate = kEmbeddedResourceFiles[i].name;
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
              return std::tolower(static_cast<unsigned char>(a)) ==
                     std::tolower(static_cast<unsigned char>(b));
            })) {
          contents->assign(reinterpret_cast<const char*>(kEmbeddedResourceFiles[i].data),
                           kEmbeddedResourceFiles[i].size);
          return true;
        }
      }
      return false;
    };
    std::string text;
    if (!find("flashwick.rc", &text)) {
      Fault("the program's resource script flashwick.rc is not embedded");
    }
    std::string error;
    if (!ParseResourceScript("flashwick.rc", text, find, &script, &error)) {
      Fault("resource script: " + error);
    }
  });
  return script;
}

}  // namespace sim::ui
