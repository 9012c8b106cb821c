import QtQuick
import QtTest
import Pelora

TestCase {
    id: testCase

    name: "Tools"

    property int destroyedCount: 0

    Component {
        id: plainDocument

        QtObject {
            property var tools: Tools
        }
    }

    Component {
        id: itemDocument

        Item {
            readonly property QtObject tools: Tools
        }
    }

    Component {
        id: victimComponent

        QtObject {
            Component.onDestruction: testCase.destroyedCount++
        }
    }

    function test_every_document_gets_the_same_instance() {
        const a = createTemporaryObject(plainDocument, testCase)
        const b = createTemporaryObject(itemDocument, testCase)
        const c = Qt.createQmlObject("import QtQml; import Pelora; QtObject { property var tools: Tools }",
                                     testCase, "separateDocument")
        verify(a.tools !== null && a.tools !== undefined)
        verify(a.tools === b.tools)
        verify(a.tools === c.tools)
        verify(a.tools === Tools)
        c.destroy()
    }

    function test_cannot_be_declared() {
        let error = ""
        try {
            Qt.createQmlObject("import Pelora; Tools {}", testCase, "declaredTools")
        } catch (e) {
            error = String(e)
        }
        verify(error.length > 0, "a document could declare its own Tools")
    }

    function test_deleteLater_with_argument_deletes_the_argument_only() {
        testCase.destroyedCount = 0
        const victim = victimComponent.createObject(null)
        Tools.deleteLater(victim)
        tryCompare(testCase, "destroyedCount", 1)
        // The singleton itself is still there and answering.
        compare(Tools.md5(""), "d41d8cd98f00b204e9800998ecf8427e")
        Tools.deleteLater(null)
    }

    function test_withOpacity_takes_colour_text() {
        const c = Tools.withOpacity("#102030", 0.5)
        fuzzyCompare(c.a, 128 / 255, 1e-6)
        compare(Qt.rgba(c.r, c.g, c.b, 1), Qt.color("#102030"))
    }
}
