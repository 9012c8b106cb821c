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
        id: victimComponent

        QtObject {
            id: victim

            property var counter

            Component.onDestruction: victim.counter.destroyedCount++
        }
    }

    function test_every_document_gets_the_same_instance() {
        const document = createTemporaryObject(plainDocument, testCase)
        verify(document.tools !== null && document.tools !== undefined)
        verify(document.tools === Tools)

        // A mark left through one reference is read by a separately compiled document.
        const mark = Tools.uuid()
        Tools.objectName = mark
        const separate = Qt.createQmlObject(
                    "import QtQml; import Pelora; QtObject { objectName: Tools.objectName }",
                    testCase, "separateDocument")
        compare(separate.objectName, mark)
        separate.destroy()
        Tools.objectName = ""
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
        const victim = victimComponent.createObject(null, { counter: testCase })
        Tools.deleteLater(victim)
        tryCompare(testCase, "destroyedCount", 1)
        // The singleton itself is still there and answering.
        compare(Tools.md5(""), "d41d8cd98f00b204e9800998ecf8427e")
        Tools.deleteLater(null)
    }
}
