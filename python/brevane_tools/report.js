"use strict";
const table = document.getElementById("pages"), body = table.tBodies[0];
const rows = Array.from(body.rows), search = document.getElementById("search");
const filters = document.querySelectorAll("[data-filter]");
const collator = new Intl.Collator(undefined, {numeric: true});
let wanted = "";
function filter() {
  const query = search.value.trim().toLowerCase();
  let shown = 0;
  for (const row of rows) {
    row.hidden = (wanted && row.dataset.state !== wanted) ||
      (query && !row.textContent.toLowerCase().includes(query));
    shown += !row.hidden;
  }
  document.getElementById("shown").textContent = `${shown} of ${rows.length} pages shown`;
}
for (const button of filters) {
  button.addEventListener("click", () => {
    wanted = button.dataset.filter;
    for (const other of filters) other.setAttribute("aria-pressed", String(other === button));
    filter();
  });
}
search.addEventListener("input", filter);
for (const th of table.tHead.rows[0].cells) {
  th.querySelector("button").addEventListener("click", () => {
    const up = th.getAttribute("aria-sort") !== "ascending", column = th.cellIndex;
    for (const other of table.tHead.rows[0].cells) other.removeAttribute("aria-sort");
    th.setAttribute("aria-sort", up ? "ascending" : "descending");
    const keyed = rows.map((row) => [row.cells[column].dataset.key ?? row.cells[column].textContent, row]);
    keyed.sort((a, b) => (up ? 1 : -1) * collator.compare(a[0], b[0]));
    keyed.forEach(([, row], i) => { rows[i] = row; });
    body.append(...rows);
  });
}
search.hidden = false;
