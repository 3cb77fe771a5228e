// The second-level registration domains and the cut of a host down to its registrable
// domain. The table is the one the mail filters of this product have always shipped:
// registries that sell names one level below a country (or generic) label, grouped here
// by that last label. Most of its entries are ccTLD second levels ("co.uk", "com.au");
// a few are private registries of the early 2000s ("uk.com", "eu.org") and two are
// three labels deep ("lkd.co.im", "plc.co.im"). It is kept as it is and not brought up
// to date with the Public Suffix List, so that domains count the same way as in the
// rules and lists written against it.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engines/url_db.h"

namespace {

using ascommon::usstring;

struct DomainGroup {
  const char* lastLabel;
  const char* labels;  // space-separated labels that precede lastLabel
};

constexpr DomainGroup kDomainGroups[] = {
    {"ac", "com edu gov mil net org"},
    {"ae", "ac co com gov net org pro sch"},
    {"ai", "com edu gov org"},
    {"ar", "com edu gov int mil net org"},
    {"arpa", "e164"},
    {"at", "ac co gv or priv"},
    {"au", "asn com conf csiro edu gov id info net org otc oz telememo"},
    {"az", "com net org"},
    {"bb", "com net org"},
    {"be", "ac belgie dns fgov"},
    {"bh", "com edu gov net org"},
    {"bm", "com edu gov net org"},
    {"br", "adm adv agr am arq art ato bio bmd cim cng cnt com coop ecn edu eng esp etc eti far "
     "fm fnd fot fst g12 ggf gov imb ind inf jor lel mat med mil mus net nom not ntr odo org ppg "
     "pro psc psi qsl rec slg srv tmp trd tur tv vet zlg"},
    {"bs", "com net org"},
    {"ca", "ab bc gc mb nb nf nl ns nt nu on pe qc sk yk"},
    {"ck", "co edu gov net org"},
    {"cn", "ac ah bj com cq edu gd gov gs gx gz hb he hi hk hl hn jl js ln mo net nm nx org qh "
     "sc sh sn sx tj tw xj xz yn zj"},
    {"co", "arts com edu firm gov info int mil nom org rec store web"},
    {"com", "au br cn de eu gb hu no qc ru sa se uk us uy za"},
    {"cr", "ac co ed fi go or sa"},
    {"cu", "com net org"},
    {"cy", "ac com gov net org"},
    {"dk", "co"},
    {"do", "art com edu gob gov mil net org sld web"},
    {"dz", "art ass com edu gov net org pol"},
    {"ec", "com edu fin gov k12 med mil net org"},
    {"ee", "com fie med org pri"},
    {"eg", "com edu eun gov net org sci"},
    {"er", "com edu gov ind mil net org"},
    {"es", "com edu gob nom org"},
    {"et", "biz com edu gov info name net org"},
    {"fj", "ac com gov id org school"},
    {"fk", "ac com gov net nom org"},
    {"fr", "aeroport assedic asso avocat avoues barreau cci chambagri chirurgiens-dentistes com "
     "experts-comptables geometre-expert gouv greta huissier-justice medecin nom notaires "
     "pharmacien port prd presse tm veterinaire"},
    {"ge", "com edu gov mil net org pvt"},
    {"gg", "ac alderney co gov guernsey ind ltd net org sark sch"},
    {"gt", "com edu gob ind mil net org"},
    {"gu", "com edu gov mil net org"},
    {"hk", "com edu gov idv net org"},
    {"hu", "2000 agrar bolt casino city co erotica erotika film forum games hotel info ingatlan "
     "jogasz konyvelo lakas media news org priv reklam sex shop sport suli szex tm tozsde utazas "
     "video"},
    {"id", "ac co go mil net or"},
    {"il", "ac co gov idf k12 muni net org"},
    {"im", "ac co gov lkd.co net nic org plc.co"},
    {"in", "ac co ernet firm gen gov ind mil net nic org res"},
    {"je", "ac co gov ind jersey ltd net org sch"},
    {"jo", "com edu gov mil net org"},
    {"jp", "ac ad aichi akita aomori chiba co ed ehime fukui fukuoka fukushima gifu go gov gr "
     "gunma hiroshima hokkaido hyogo ibaraki ishikawa iwate kagawa kagoshima kanagawa kanazawa "
     "kawasaki kitakyushu kobe kochi kumamoto kyoto lg matsuyama mie miyagi miyazaki nagano "
     "nagasaki nagoya nara ne net niigata oita okayama okinawa or org osaka saga saitama sapporo "
     "sendai shiga shimane shizuoka takamatsu tochigi tokushima tokyo tottori toyama utsunomiya "
     "wakayama yamagata yamaguchi yamanashi yokohama"},
    {"kh", "com edu gov mil net org per"},
    {"kr", "ac co go kyonggi ne or pe re seoul"},
    {"kw", "com edu gov net org"},
    {"la", "com net org"},
    {"lb", "com edu gov mil net org"},
    {"lc", "com edu gov net org"},
    {"lv", "asn com conf edu gov id mil net org"},
    {"ly", "com net org"},
    {"ma", "ac co net org press"},
    {"mk", "com"},
    {"mm", "com edu gov net org"},
    {"mo", "com edu gov net org"},
    {"mt", "com edu net org tm uu"},
    {"mx", "com net org"},
    {"my", "com edu gov net org"},
    {"na", "alt com cul edu net org telecom unam"},
    {"nc", "com net org"},
    {"net", "de gb uk"},
    {"ng", "ac com edu gov net org sch"},
    {"ni", "com edu gob net nom org"},
    {"no", "tel"},
    {"np", "com edu gov net org"},
    {"nr", "fax mob mobil mobile tel tlf"},
    {"nz", "ac co cri geek gen govt iwi maori mil net org school"},
    {"om", "ac biz co com edu gov med mod museum net org pro"},
    {"org", "dk eu"},
    {"pa", "ac com edu gob net org sld"},
    {"pe", "com edu gob mil net nom org"},
    {"pg", "ac com net"},
    {"ph", "com mil net ngo org"},
    {"pk", "biz com edu fam gob gok gon gop gos gov net org web"},
    {"pl", "agro aid atm auto biz com edu gmina gsm info mail media miasta mil net nieruchomosci "
     "nom org pc powiat priv realestate rel sex shop sklep sos szkola targi tm tourism travel "
     "turystyka"},
    {"ps", "edu gov plo sec"},
    {"py", "com edu net org"},
    {"qa", "com edu gov net org"},
    {"re", "asso com nom"},
    {"ro", "arts com firm info nom nt org rec store tm www"},
    {"ru", "com gov net org pp"},
    {"sa", "com edu gov med net org pub sch"},
    {"sb", "com edu gov net org"},
    {"sd", "com edu gov med net org sch"},
    {"se", "brand fh fhsk fhv komforb kommunalforbund komvux lanarb lanbib naturbruksgymn org "
     "parti pp press sshn tm"},
    {"sg", "com edu gov net org per"},
    {"sh", "com edu gov mil net org"},
    {"st", "co com consulado edu embaixada gov mil net org principe saotome store"},
    {"sv", "com edu gob org red"},
    {"sy", "com gov net org"},
    {"th", "ac co go net or"},
    {"tn", "com edunet ens fin gov ind info intl nat net org rnrt rns rnu tourism"},
    {"tr", "bbs com edu gen gov k12 mil net org"},
    {"tt", "at au be biz ca co com de dk edu es eu fr gov info it name net nic org pro se uk us"},
    {"tv", "co"},
    {"tw", "com edu gove idv net org"},
    {"ua", "com edu gov net org"},
    {"ug", "ac co go or"},
    {"uk", "ac co edu gov ltd me mod net nhs nic org plc police sch"},
    {"us", "dni fed"},
    {"uy", "com edu gub mil net org"},
    {"ve", "arts bib co com edu firm gov info int mil net nom org rec store tec web"},
    {"vi", "co net org"},
    {"vn", "ac biz com edu gov health info int name net org pro"},
    {"vu", "ch com de edu fr net org"},
    {"ws", "com edu gov net org"},
    {"ye", "com edu gov mil net org"},
    {"yu", "ac co edu org"},
    {"za", "ac alt bourse city co edu gov law mil net ngo nom org school tm web"},
    {"zw", "ac co gov org"},
};

std::vector<std::u16string> DomainKeys() {
  std::vector<std::u16string> keys;
  keys.reserve(kDomainTableSize);
  for (const DomainGroup& group : kDomainGroups) {
    const std::string labels = group.labels;
    size_t begin = 0;
    while (begin < labels.size()) {
      size_t end = labels.find(' ', begin);
      if (end == std::string::npos) end = labels.size();
      std::u16string key = u".";
      for (size_t i = begin; i < end; ++i) key.push_back(static_cast<char16_t>(labels[i]));
      key.push_back(u'.');
      for (const char* c = group.lastLabel; *c != '\0'; ++c) {
        key.push_back(static_cast<char16_t>(*c));
      }
      keys.push_back(std::move(key));  // ASCII only
      begin = end + 1;
    }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

bool IsAsciiCaseEqual(const char16_t* text, const char* lower, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<char16_t>(lower[i])) return false;
  }
  return true;
}

// The first occurrence of the ASCII lower-case needle in text[from, length), ASCII case
// folded; length when absent.
size_t FindNoCase(const char16_t* text, size_t length, const char* needle, size_t from) {
  const size_t n = std::char_traits<char>::length(needle);
  for (size_t i = from; i + n <= length; ++i) {
    if (IsAsciiCaseEqual(text + i, needle, n)) return i;
  }
  return length;
}

size_t FindUnit(const char16_t* text, size_t from, size_t end, char16_t unit) {
  for (size_t i = from; i < end; ++i) {
    if (text[i] == unit) return i;
  }
  return end;
}

bool IsDottedQuad(const char16_t* host, size_t length) {
  int dots = 0;
  for (size_t i = 0; i < length; ++i) {
    if (host[i] == u'.') {
      ++dots;
    } else if (host[i] < u'0' || host[i] > u'9') {
      return false;
    }
  }
  return dots == 3;
}

}  // namespace

void FillDomainTable(CDomainTable* table) {
  static const std::vector<std::u16string> keys = DomainKeys();  // sorted once per process
  uint32_t rank = 0;
  for (const std::u16string& key : keys) {
    table->Insert(usstring(key), rank++);  // a failed insertion leaves the key out
  }
}

int ExtractDomainFromText(const CDomainTable& table, const char16_t* text, size_t length,
                          usstring* domain) {
  if (text == nullptr || length == 0) return -450;

  // Where the host starts: after the scheme when there is one, or after the "//" that
  // follows a "*" (redirector links such as "http://r.example/*http://target/").
  size_t start = FindNoCase(text, length, "http://", 0);
  start = start == length ? 0 : start + 7;
  const size_t star = FindUnit(text, 0, length, u'*');
  if (star < length) {
    const size_t slashes = FindNoCase(text, length, "//", star + 1);
    if (slashes < length) start = slashes + 2;
  }
  if (start >= length) return -450;
  if (length - start >= 4 && IsAsciiCaseEqual(text + start, "www.", 4)) start += 4;
  if (start >= length) return -450;

  // Where it ends: the path or query, or the port; user information goes.
  size_t end = std::min(FindUnit(text, start, length, u'?'), FindUnit(text, start, length, u'/'));
  const size_t at = FindUnit(text, start, end, u'@');
  if (at < end) start = at + 1;
  end = FindUnit(text, start, end, u':');
  if (start >= end) return -450;

  const char16_t* host = text + start;
  const size_t host_length = end - start;
  size_t first = 0;  // where the registrable domain begins in host
  if (!IsDottedQuad(host, host_length)) {
    // Right to left: the domain begins after the second dot unless the two labels after
    // that dot are a registration domain, and then after the third dot.
    int dots = 0;
    for (size_t i = host_length; i-- > 0;) {
      if (host[i] != u'.') continue;
      ++dots;
      if (dots == 2) {
        if (table.Lookup(usstring(host + i, host_length - i)) == nullptr) {
          first = i + 1;
          break;
        }
      } else if (dots == 3) {
        first = i + 1;
        break;
      }
    }
  }
  if (domain->Assign(host + first, host_length - first) != 0) return -10;
  return 0;
}

int ExtractDomain(const CDomainTable& table, const nsEmlComponents::CUrl& url,
                  usstring* domain) {
  return ExtractDomainFromText(table, url.decoded.GetBuffer(), url.decoded.Length(), domain);
}
