// Writes a page through the shared page writer with data chosen to break
// it (text that would end the script, markup, line separators, bytes that
// are not UTF-8), for the browser test. Usage: sample_page OUT.html [broken]
// where "broken" gives the page a script that throws.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "html/page.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: sample_page OUT.html [broken]\n";
    return 64;
  }
  tarnwick::HtmlPage page;
  page.title = "Sample </title> & page";
  page.body = "<h1>Sample</h1><div id=\"hosts\"></div>";
  nlohmann::json hosts = nlohmann::json::array();
  for (const char* name :
       {"</script><script>document.title='taken'</script>", "<!-- a <b>bold</b> & \"quoted\"",
        "line\xe2\x80\xa8separated\xe2\x80\xa9host", "broken \xff byte"}) {
    hosts.push_back({{"name", name}, {"rates", {1.0e9, 1.1e9, 1.05e9}}});
  }
  page.data = {{"hosts", hosts}};
  page.script = R"js(
const box = document.getElementById("hosts");
for (const host of DATA.hosts) {
  const canvas = el("canvas");
  box.append(el("div", {class: "panel"}, el("h2", {class: "host", text: host.name}),
                el("div", {class: "chart"}, canvas)));
  new Chart(canvas, {type: "line", data: {labels: host.rates.map((_, i) => i + 1),
    datasets: [{label: "rate", data: host.rates}]}, options: {animation: false,
    maintainAspectRatio: false}});
}
)js";
  if (argc > 2 && std::string(argv[2]) == "broken") page.script += "\nnoSuchFunction();\n";
  std::ofstream out(argv[1], std::ios::binary);
  out << tarnwick::html_page(page);
  return out.good() ? 0 : 2;
}
