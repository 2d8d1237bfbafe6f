// The page's side of the dialog: reports clicks and edits to the host and applies the values the
// host writes. Every message carries the number of the last write the page has applied, so the
// host can tell values the user typed from values it is about to overwrite.
"use strict";

(function () {
    let host = null;
    let applied = 0;

    function findElement(id) {
        const exact = document.getElementById(id);
        if (exact) return exact;
        const wanted = id.toLowerCase();
        for (const element of document.querySelectorAll("[id]")) {
            if (element.id.toLowerCase() === wanted) return element;
        }
        return null;
    }

    function inputValues() {
        const values = {};
        for (const input of document.querySelectorAll("input[id]")) values[input.id] = input.value;
        return values;
    }

    // A path shown in a row of its own: the folders and the file name in separate pieces, so
    // the folders can be cut short and the name, with the separator before it, kept. The text
    // content is still the whole path, and so is the tooltip.
    function showPath(element, text) {
        const cut = Math.max(text.lastIndexOf("/"), 0);
        const folders = document.createElement("span");
        folders.className = "folders";
        folders.textContent = text.slice(0, cut);
        const name = document.createElement("span");
        name.className = "name";
        name.textContent = text.slice(cut);
        element.replaceChildren(folders, name);
        if (text) element.title = text;
        else element.removeAttribute("title");
    }

    // Every write carries all the fields; only those whose text changed are touched, so that a
    // run's status changes lay out and paint the status alone.
    window.vyxApply = function (sequence, writes) {
        for (const [id, kind, text] of writes) {
            const element = findElement(id);
            if (!element) continue;
            if (kind === "value") {
                if (element.value !== text) element.value = text;
            } else if (element.textContent !== text) {
                if (element.classList.contains("path")) showPath(element, text);
                else element.textContent = text;
            }
        }
        applied = sequence;
        return sequence;
    };

    function start() {
        new QWebChannel(qt.webChannelTransport, function (channel) {
            host = channel.objects.host;
            for (const button of document.querySelectorAll("button[id]")) {
                button.addEventListener("click", function () {
                    host.click(button.id, inputValues(), applied);
                });
            }
            for (const input of document.querySelectorAll("input[id]")) {
                input.addEventListener("input", function () {
                    host.edited(input.id, input.value, applied);
                });
            }
            host.pageReady(inputValues(), applied);
        });
    }

    if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
    else start();
})();
